// Network transport: message digests of OpenSSL that protocols above need
// (the WebSocket handshake's SHA-1), so that nothing outside net/ includes
// OpenSSL. Any thread.
#pragma once

#include <string>
#include <string_view>

// The 20 bytes of the SHA-1 digest of bytes.
std::string sha1Digest(std::string_view bytes);
