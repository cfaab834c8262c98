#include "platform/temporary_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace platform {

Result<TemporaryFile> TemporaryFile::create(const std::string& prefix) {
    std::error_code ignored;
    std::string base = std::filesystem::temp_directory_path(ignored).string();
    if (base.empty()) base = "/tmp";
    if (base.back() != '/') base += '/';
    std::string name = base + prefix + "XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    // mkostemp makes it 0600; close-on-exec keeps it out of children that
    // are not given it.
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return Error::last();
    TemporaryFile made;
    made.file_.reset(fd);
    made.path_.assign(buffer.data());
    return made;
}

void TemporaryFile::remove() {
    file_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
    size_ = 0;
}

Error TemporaryFile::append(std::string_view bytes) {
    if (!file_.valid()) return Error(EBADF);
    while (!bytes.empty()) {
        const ssize_t n = ::write(file_.get(), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::last();
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        size_ += static_cast<std::uint64_t>(n);
    }
    return Error();
}

}  // namespace platform
