// Platform: file-system probes (status with a 64-bit size, directories) and
// the path conventions of the platform. Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform {

// The separator that directory paths end in.
inline constexpr char pathSeparator = '/';
// Longest path the file system takes, without the terminating NUL.
inline constexpr std::size_t maxPathLength = 4095;

struct FileInfo {
    std::uint64_t size = 0;
    bool directory = false;
    bool regular = false;
    std::int64_t modifiedSeconds = 0;  // since 1970
};

// The status of path (following links), or nothing when it cannot be taken.
std::optional<FileInfo> fileInfo(const std::string& path);

bool directoryExists(const std::string& path);

// Creates one directory (its parent must exist).
Error createDirectory(const std::string& path);

// A fresh, empty directory below the system's temporary directory whose
// name starts with prefix; for tests and scratch work.
Result<std::string> makeTemporaryDirectory(const std::string& prefix);

// Removes path and everything below it; a missing path is no error.
Error removeTree(const std::string& path);

// path made absolute against the current directory, with "." and ".."
// steps and links resolved when it exists; empty when it cannot be made.
std::string absolutePath(const std::string& path);

}  // namespace platform
