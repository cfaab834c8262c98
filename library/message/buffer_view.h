// Reading what is left in a KoStringBuf. Its in_avail() may lag behind bytes
// appended since the last read, so counts are taken from the buffer's view
// and get position instead. Used on the thread that owns the buffer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/string_buf.h"

namespace message_detail {

// The bytes not yet read.
inline std::string_view Unread(KoStringBuf& buf) {
    const std::string_view all = buf.view();
    const auto at = buf.pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    const std::size_t from = at < 0 ? 0 : static_cast<std::size_t>(at);
    return from < all.size() ? all.substr(from) : std::string_view();
}

inline bool HasUnread(KoStringBuf& buf) { return buf.sgetc() != KoStringBuf::traits_type::eof(); }

inline std::size_t UnreadSize(KoStringBuf& buf) { return Unread(buf).size(); }

// Reads and returns all unread bytes.
inline std::string TakeUnread(KoStringBuf& buf) {
    std::string out(Unread(buf));
    buf.pubseekoff(static_cast<std::streamoff>(out.size()), std::ios_base::cur, std::ios_base::in);
    return out;
}

// A buffer holding bytes to read, to which later writes append.
inline std::unique_ptr<KoStringBuf> BufferOf(std::string bytes) {
    return std::make_unique<KoStringBuf>(std::move(bytes),
                                         std::ios_base::in | std::ios_base::out | std::ios_base::ate);
}

}  // namespace message_detail
