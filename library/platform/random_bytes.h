// Platform: bytes from the operating system's cryptographic random source
// (getrandom on Linux, BCryptGenRandom on Windows), for salts and other
// secrets. Any thread.
#pragma once

#include <span>

namespace platform {

// Fills every byte of out; false (out unspecified) when the system gives
// none, never a partial or predictable fill reported as success.
bool fillRandomBytes(std::span<unsigned char> out);

}  // namespace platform
