#include "platform/error.h"

#include <cerrno>
#include <cstring>

namespace platform {

bool Error::wouldBlock() const { return code_ == EAGAIN || code_ == EWOULDBLOCK; }
bool Error::inProgress() const { return code_ == EINPROGRESS; }
bool Error::interrupted() const { return code_ == EINTR; }
bool Error::addressInUse() const { return code_ == EADDRINUSE; }
// A path through a file ("a.html/b") names nothing either.
// A name too long for the file system names no file either.
bool Error::notFound() const { return code_ == ENOENT || code_ == ENOTDIR || code_ == ENAMETOOLONG; }
bool Error::outOfDescriptors() const { return code_ == EMFILE || code_ == ENFILE; }
std::string Error::text() const { return errorText(code_); }
Error Error::last() { return Error(errno); }

std::string errorText(int code) {
    char buffer[256] = {};
    // The GNU strerror_r may return a static text instead of filling buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string(buffer);
}

}  // namespace platform
