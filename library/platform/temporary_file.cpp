// What a temporary file does the same on every platform: moving it hands
// over its name, and whoever holds it last removes it.
#include "platform/temporary_file.h"

#include <string>
#include <utility>

namespace platform {

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : file_(std::move(other.file_)), path_(std::exchange(other.path_, std::string())), size_(other.size_) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
    if (this != &other) {
        remove();
        file_ = std::move(other.file_);
        path_ = std::exchange(other.path_, std::string());
        size_ = other.size_;
    }
    return *this;
}

TemporaryFile::~TemporaryFile() { remove(); }

}  // namespace platform
