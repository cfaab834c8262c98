// What the file system tells about an open file or a path: the pieces that
// fileStatus, fileIdentity and locatedIn share.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/win32/windows_headers.h"

namespace platform::win32 {

struct HandleFacts {
    std::uint64_t volume = 0;  // the volume serial number
    std::uint64_t index = 0;   // the file index on that volume
    std::uint64_t size = 0;
    std::int64_t modifiedNanos = 0;  // since 1970
    bool directory = false;
    bool regular = false;
};

// Opens path for reading its attributes only (directories too), following
// links; INVALID_HANDLE_VALUE and GetLastError() on failure.
HANDLE openForAttributes(const std::string& path);
Result<HandleFacts> factsOf(HANDLE handle);
Result<HandleFacts> factsOf(const std::string& path);

}  // namespace platform::win32
