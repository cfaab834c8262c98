#include "platform/win32/wide_text.h"

#include <mutex>

namespace platform::win32 {

std::wstring toWide(std::string_view text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string fromWide(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                          nullptr);
    return narrow;
}

void ensureWinsock() {
    // Sockets made by the platform itself (wake-ups, pairs, probes) may come
    // before any endpoint takes a reference; this one lasts as long as the
    // process. Winsock counts its start-ups, so it pairs with the endpoints'.
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

}  // namespace platform::win32
