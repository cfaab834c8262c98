#include "platform/win32/file_identity.h"

#include "platform/win32/wide_text.h"

namespace platform::win32 {
namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::int64_t ticksTo1970 = 116444736000000000LL;

std::int64_t nanosSince1970(const FILETIME& time) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - ticksTo1970) * 100;
}

}  // namespace

HANDLE openForAttributes(const std::string& path) {
    if (path.empty()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // No access right beyond the attributes: works on files that others
    // hold open; backup semantics opens directories too.
    return ::CreateFileW(toWide(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

Result<HandleFacts> factsOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) return Error::last();
    HandleFacts facts;
    facts.volume = information.dwVolumeSerialNumber;
    facts.index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    facts.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    facts.modifiedNanos = nanosSince1970(information.ftLastWriteTime);
    facts.directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.regular = !facts.directory && (information.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0 &&
                    ::GetFileType(handle) == FILE_TYPE_DISK;
    if (facts.directory) facts.size = 0;
    return facts;
}

Result<HandleFacts> factsOf(const std::string& path) {
    const HANDLE handle = openForAttributes(path);
    if (handle == INVALID_HANDLE_VALUE) return Error::last();
    auto facts = factsOf(handle);
    ::CloseHandle(handle);
    return facts;
}

}  // namespace platform::win32
