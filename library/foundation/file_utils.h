// Foundation: path normalisation and small file-system probes, over the
// platform's file services. Paths are byte strings passed to the file system
// unchanged. Nothing here throws; probes answer with a flag. Any thread may
// call them.
#pragma once

#include <cstdint>
#include <string>

// Replaces every '/' by '\'.
std::string toBackslashes(const std::string& path);

// A non-empty path that does not end in '/' or '\' gets the platform's
// separator appended ('/' here; on a backslash platform every '/' also
// becomes '\'). An empty path stays empty.
std::string directoryPath(const std::string& path);

// The text after the last '/' or '\'; the whole path without one; for a path
// ending in a separator the component before it (a/b/ gives b).
std::string lastPathComponent(const std::string& path);

// True when path names an existing directory. Otherwise, when create is set,
// creates it (one level; the parent must exist) and tells whether that
// worked. Paths longer than the platform allows give false.
bool ensureDirectory(const std::string& path, bool create);

// True when the file's status can be taken; then stores its size through
// size unless size is null.
bool fileStatus(const std::string& path, std::uint64_t* size = nullptr);
