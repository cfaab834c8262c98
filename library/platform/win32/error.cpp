#include "platform/error.h"

#include <cerrno>

#include "platform/win32/wide_text.h"

namespace platform {

// Codes are Win32 and Winsock error codes (one numbering); the few errno
// values that callers pass in themselves are told apart by their range.
bool Error::wouldBlock() const { return code_ == WSAEWOULDBLOCK || code_ == EAGAIN; }
bool Error::inProgress() const { return code_ == WSAEINPROGRESS || code_ == WSAEALREADY; }
bool Error::interrupted() const { return code_ == WSAEINTR || code_ == EINTR; }
bool Error::addressInUse() const { return code_ == WSAEADDRINUSE || code_ == WSAEACCES; }
bool Error::notFound() const {
    return code_ == ERROR_FILE_NOT_FOUND || code_ == ERROR_PATH_NOT_FOUND || code_ == ERROR_INVALID_NAME ||
           code_ == ERROR_BAD_NETPATH || code_ == ERROR_DIRECTORY || code_ == ENOENT;
}
bool Error::outOfDescriptors() const {
    return code_ == WSAEMFILE || code_ == ERROR_TOO_MANY_OPEN_FILES || code_ == WSAENOBUFS || code_ == EMFILE;
}
std::string Error::text() const { return errorText(code_); }
Error Error::last() { return Error(static_cast<int>(::GetLastError())); }

std::string errorText(int code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer), 0,
        nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) text = win32::fromWide(std::wstring_view(buffer, length));
    if (buffer != nullptr) ::LocalFree(buffer);
    // The system's texts end in a full stop and a line end.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) text = "error " + std::to_string(code);
    return text;
}

}  // namespace platform
