// Platform: a scratch file below the system's temporary directory, readable
// and writable by this user only, that is removed when its owner lets go of
// it (also when a reader still has it open: the name goes, the reader keeps
// reading). Bytes are appended; others open it by name (openForReading) to
// read it from its start, a child takes it as its standard input. (On
// Windows, the temporary directory is the user's own, and a file that a
// reader holds open without sharing deletion stays until it is removed by
// the system's clean-up of that directory.)
//
// Move-only; one thread at a time appends. Nothing throws: failures are
// Errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

class TemporaryFile {
public:
    // A new empty file whose name starts with prefix.
    static Result<TemporaryFile> create(const std::string& prefix);

    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Writes all of bytes at the end.
    Error append(std::string_view bytes);

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }

private:
    TemporaryFile() = default;
    void remove();

    Descriptor file_;
    std::string path_;
    std::uint64_t size_ = 0;
};

}  // namespace platform
