// Platform: files opened for reading and sent from, by descriptor.
//
// A server that sends the same files again and again keeps them open and
// checks now and then whether the name still stands for the same file:
// fileIdentity() of the path against the identity taken when it was opened
// (a file replaced under its name, or changed in place, differs in inode,
// size or modification time). readAt() reads at an offset without moving a
// shared file position, so one descriptor serves several answers at once.
// Stateless; any thread. Nothing throws: failures are Errors (notFound()
// tells a missing file from one that exists and cannot be opened).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/descriptor.h"
#include "platform/error.h"
#include "platform/socket.h"

namespace platform {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNanos = 0;  // since 1970
    bool regular = false;
    bool directory = false;

    bool operator==(const FileIdentity&) const = default;
};

// Opens path for reading (close-on-exec, never blocking on a FIFO).
Result<Descriptor> openForReading(const std::string& path);
// The identity of the file path names now (following links).
Result<FileIdentity> fileIdentity(const std::string& path);
// The identity of an open file.
Result<FileIdentity> fileIdentity(int fd);
// One read of up to capacity bytes at offset; 0 bytes at the end. Large
// files are read, not mapped, to be copied into a socket: a send copying
// from a mapping cost twice the read here (a page-table walk per 4 KiB).
IoResult readAt(int fd, void* data, std::size_t capacity, std::uint64_t offset);

}  // namespace platform
