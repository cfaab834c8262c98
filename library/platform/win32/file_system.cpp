#include "platform/file_system.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include "platform/win32/file_identity.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

using win32::fromWide;
using win32::toWide;

Error fromErrorCode(const std::error_code& error) { return Error(error ? error.value() : 0); }

// "\\?\C:\x" -> "C:\x", "\\?\UNC\host\share" -> "\\host\share".
std::wstring withoutLongPrefix(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

// The path of an open handle with links resolved; empty when unknown.
std::wstring finalPath(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return withoutLongPrefix(buffer);
        }
        buffer.resize(length + 1);
    }
    return {};
}

bool isDeviceName(std::string_view stem) {
    static constexpr std::string_view plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    std::string upper;
    for (char c : stem) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    for (std::string_view name : plain)
        if (upper == name) return true;
    // COM0-COM9 and LPT0-LPT9, also with the superscript digits ¹ ² ³.
    if (upper.size() >= 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0)) {
        const std::string_view digit = std::string_view(upper).substr(3);
        if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
    }
    return false;
}

// One segment of a path that Windows reads as another name than it says.
bool aliasedSegment(std::string_view segment) {
    if (segment.empty() || segment == "." || segment == "..") return false;
    // Trailing dots and blanks are dropped by the file system: "a.php." is "a.php".
    if (segment.back() == '.' || segment.back() == ' ') return true;
    // A short 8.3 name ("CGI-BI~1") names a file by another spelling.
    for (std::size_t at = segment.find('~'); at != std::string_view::npos; at = segment.find('~', at + 1))
        if (at + 1 < segment.size() && segment[at + 1] >= '0' && segment[at + 1] <= '9') return true;
    // A device name, with any extension or blanks before it ("nul.txt", "CON .x").
    std::string_view stem = segment.substr(0, segment.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    return isDeviceName(stem);
}

}  // namespace

bool isAliasedPath(std::string_view path) {
    // ':' gives drive letters and alternate data streams ("a.php::$DATA"),
    // '\' another separator, a leading "//" a UNC or "\\?\" form.
    if (path.find_first_of(":\\") != std::string_view::npos) return true;
    if (path.rfind("//", 0) == 0) return true;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (aliasedSegment(path.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

Result<FileInfo> fileStatus(const std::string& path) {
    if (path.empty()) return Error(ERROR_FILE_NOT_FOUND);
    auto facts = win32::factsOf(path);
    if (!facts.ok()) return facts.error();
    FileInfo info;
    info.size = facts.value().size;
    info.directory = facts.value().directory;
    info.regular = facts.value().regular;
    info.modifiedSeconds = facts.value().modifiedNanos / 1'000'000'000;
    info.modifiedNanoseconds = facts.value().modifiedNanos % 1'000'000'000;
    // The index is unique per volume; the serial number tells volumes apart.
    info.fileId = facts.value().index ^ (facts.value().volume << 48);
    return info;
}

std::optional<FileInfo> fileInfo(const std::string& path) {
    auto status = fileStatus(path);
    if (!status.ok()) return std::nullopt;
    return status.value();
}

Error openError(const std::string& path) {
    if (path.empty()) return Error(ERROR_FILE_NOT_FOUND);
    const HANDLE handle = ::CreateFileW(toWide(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Error::last();
    ::CloseHandle(handle);
    return Error();
}

bool locatedIn(const std::string& path, const std::string& directory) {
    auto wanted = win32::factsOf(directory);
    if (directory.empty() || !wanted.ok() || !wanted.value().directory) return false;
    const HANDLE handle = win32::openForAttributes(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const std::wstring resolved = finalPath(handle);
    ::CloseHandle(handle);
    if (resolved.empty()) return false;
    // Identities, not names: the file system ignores case, and one
    // directory has several spellings (short names, links).
    std::filesystem::path at(resolved);
    for (at = at.parent_path();; at = at.parent_path()) {
        auto step = win32::factsOf(fromWide(at.native()));
        if (!step.ok()) return false;
        if (step.value().volume == wanted.value().volume && step.value().index == wanted.value().index) return true;
        if (at == at.root_path() || at.parent_path() == at) return false;
    }
}

bool directoryExists(const std::string& path) {
    const auto info = fileInfo(path);
    return info && info->directory;
}

Error createDirectory(const std::string& path) {
    if (!::CreateDirectoryW(toWide(path).c_str(), nullptr)) return Error::last();
    return Error();
}

Result<std::string> makeTemporaryDirectory(const std::string& prefix) {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0) return Error::last();
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = fromWide(std::wstring_view(base, length)) + prefix +
                                 std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(counter.fetch_add(1)) + "-" + std::to_string(::GetTickCount64() % 100000);
        if (::CreateDirectoryW(toWide(name).c_str(), nullptr)) return name;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return Error::last();
    }
    return Error(ERROR_ALREADY_EXISTS);
}

Error removeTree(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(toWide(path)), error);
    return fromErrorCode(error);
}

Error replaceFile(const std::string& from, const std::string& to) {
    if (!::MoveFileExW(toWide(from).c_str(), toWide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Error::last();
    return Error();
}

std::string absolutePath(const std::string& path) {
    if (path.empty()) return {};
    const std::wstring wide = toWide(path);
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    const HANDLE handle = win32::openForAttributes(fromWide(full));
    if (handle != INVALID_HANDLE_VALUE) {
        const std::wstring resolved = finalPath(handle);
        ::CloseHandle(handle);
        if (!resolved.empty()) full = resolved;
    }
    std::string text = fromWide(full);
    const char last = path.back();
    if ((last == '/' || last == '\\') && (text.empty() || text.back() != pathSeparator)) text += pathSeparator;
    return text;
}

}  // namespace platform
