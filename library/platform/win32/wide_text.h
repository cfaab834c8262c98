// UTF-8 inside, UTF-16 only at the ...W calls: the conversions between the
// two, and the conversions between the int that a Descriptor holds and the
// HANDLE or SOCKET it stands for. Invalid UTF-8 becomes U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32/windows_headers.h"

namespace platform::win32 {

std::wstring toWide(std::string_view text);
std::string fromWide(std::wstring_view text);

// Kernel handles and sockets are 32-bit values sign-extended to pointer size,
// so they fit the int of a Descriptor; -1 is INVALID_HANDLE_VALUE as well.
inline HANDLE toHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }
inline int fromHandle(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
inline SOCKET toSocket(int fd) { return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd)); }
inline int fromSocket(SOCKET socket) { return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket); }

// Makes sure Winsock is started in this process (once, until it ends).
void ensureWinsock();

}  // namespace platform::win32
