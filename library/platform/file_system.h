// Platform: file-system probes (status with a 64-bit size, directories) and
// the path conventions of the platform. Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

#ifdef _WIN32
// The separator that directory paths end in.
inline constexpr char pathSeparator = '\\';
// Longest path the ...W calls take (in UTF-16 units; UTF-8 bytes bound it).
inline constexpr std::size_t maxPathLength = 32767;
#else
// The separator that directory paths end in.
inline constexpr char pathSeparator = '/';
// Longest path the file system takes, without the terminating NUL.
inline constexpr std::size_t maxPathLength = 4095;
#endif

struct FileInfo {
    std::uint64_t size = 0;
    bool directory = false;
    bool regular = false;
    std::int64_t modifiedSeconds = 0;  // since 1970
    std::int64_t modifiedNanoseconds = 0;  // within that second
    // Identifies the file on its file system (the inode); with the size
    // and the modification time it tells one version of a file from another.
    std::uint64_t fileId = 0;
};

// True when a request path ('/'-separated, below a served directory) is
// spelled so that this platform's file system would read it as another
// name than its text says: no decision taken on the text would hold. Never
// on POSIX. On Windows: any ':' (drive letters, alternate data streams such
// as "::$DATA") or a backslash, a leading "//" (UNC and "\\?\" forms), a segment
// that ends in '.' or ' ', an 8.3 short name ("CGI-BI~1"), or a device name
// (CON, PRN, AUX, NUL, COM0-9, LPT0-9, ...) with or without an extension.
bool isAliasedPath(std::string_view path);

// The status of path (following links), or why it cannot be taken:
// Error::notFound() when there is no such file, another error when the file
// system failed to tell (no permission to search a directory, a loop of
// links, ...).
Result<FileInfo> fileStatus(const std::string& path);

// The status of path, or nothing when it cannot be taken for any reason.
std::optional<FileInfo> fileInfo(const std::string& path);

// Why path cannot be opened for reading: tries it and closes it again.
// Error() when it opens now.
Error openError(const std::string& path);

// True when path (following links) lies inside directory, however either
// is spelled: the file system's identity of each directory on the way up
// from path is compared with directory's. False when either cannot be
// examined.
bool locatedIn(const std::string& path, const std::string& directory);

bool directoryExists(const std::string& path);

// Creates one directory (its parent must exist).
Error createDirectory(const std::string& path);

// A fresh, empty directory below the system's temporary directory whose
// name starts with prefix; for tests and scratch work.
Result<std::string> makeTemporaryDirectory(const std::string& prefix);

// Removes path and everything below it; a missing path is no error.
Error removeTree(const std::string& path);

// Puts the file from in the place of to in one step (a reader sees the old
// file or the new one, never a part); both on one file system.
Error replaceFile(const std::string& from, const std::string& to);

// path made absolute against the current directory, with "." and ".."
// steps and links resolved when it exists; empty when it cannot be made.
std::string absolutePath(const std::string& path);

}  // namespace platform
