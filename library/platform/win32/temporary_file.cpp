#include "platform/temporary_file.h"

#include <atomic>
#include <utility>

#include "platform/win32/wide_text.h"
#include "platform/win32/windows_headers.h"

namespace platform {

Result<TemporaryFile> TemporaryFile::create(const std::string& prefix) {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0) return Error::last();
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = win32::fromWide(std::wstring_view(base, length)) + prefix +
                                 std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(counter.fetch_add(1)) + "-" + std::to_string(::GetTickCount64() % 100000);
        // Not FILE_FLAG_DELETE_ON_CLOSE: a reader would then have to share
        // deletion, which the C run-time's fopen (a host's reader) does not.
        const HANDLE handle = ::CreateFileW(win32::toWide(name).c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            TemporaryFile made;
            made.file_.reset(win32::fromHandle(handle));
            made.path_ = name;
            return made;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) return Error::last();
    }
    return Error(ERROR_FILE_EXISTS);
}

void TemporaryFile::remove() {
    file_.reset();
    // A reader that shares deletion (a child's standard input) keeps reading;
    // the name goes with its last handle.
    if (!path_.empty()) ::DeleteFileW(win32::toWide(path_).c_str());
    path_.clear();
    size_ = 0;
}

Error TemporaryFile::append(std::string_view bytes) {
    if (!file_.valid()) return Error(ERROR_INVALID_HANDLE);
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(win32::toHandle(file_.get()), bytes.data(), chunk, &written, nullptr)) return Error::last();
        bytes.remove_prefix(written);
        size_ += written;
    }
    return Error();
}

}  // namespace platform
