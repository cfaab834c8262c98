#include "platform/open_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

FileIdentity identityOf(const struct stat& status) {
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.inode = static_cast<std::uint64_t>(status.st_ino);
    identity.size = static_cast<std::uint64_t>(status.st_size);
    identity.modifiedNanos =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    identity.regular = S_ISREG(status.st_mode);
    identity.directory = S_ISDIR(status.st_mode);
    return identity;
}

}  // namespace

Result<Descriptor> openForReading(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Error::last();
    return Descriptor(fd);
}

Result<FileIdentity> fileIdentity(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return Error::last();
    return identityOf(status);
}

Result<FileIdentity> fileIdentity(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0) return Error::last();
    return identityOf(status);
}

IoResult readAt(int fd, void* data, std::size_t capacity, std::uint64_t offset) {
    IoResult result;
    ssize_t n;
    do {
        n = ::pread(fd, data, capacity, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        result.error = Error::last();
    } else {
        result.bytes = static_cast<std::size_t>(n);
    }
    return result;
}

}  // namespace platform
