#include "net/tls_ticket_keys.h"

#include <openssl/rand.h>

#include <algorithm>

#include "foundation/exception.h"
#include "net/openssl_errors.h"

KoTlsTicketKeys::KoTlsTicketKeys(std::chrono::seconds lifetime, Clock::time_point now)
    : lifetime_(std::max(lifetime, std::chrono::seconds(1))), current_(makeKey(now)) {}

KoTlsTicketKeys::Key KoTlsTicketKeys::makeKey(Clock::time_point now) {
    Key key;
    if (RAND_bytes(key.name.data(), static_cast<int>(key.name.size())) != 1 ||
        RAND_bytes(key.cipherKey.data(), static_cast<int>(key.cipherKey.size())) != 1 ||
        RAND_bytes(key.macKey.data(), static_cast<int>(key.macKey.size())) != 1) {
        tls_detail::takeErrors("");
        throw KoException_SSL("no random bytes for session ticket keys", 0, "kotransceiver");
    }
    key.made = now;
    return key;
}

void KoTlsTicketKeys::rotateLocked(Clock::time_point now) {
    if (now - current_.made < lifetime_) return;
    // A key older than two lifetimes opens nothing any more.
    previous_.reset();
    if (now - current_.made < 2 * lifetime_) previous_ = current_;
    current_ = makeKey(now);
}

KoTlsTicketKeys::Key KoTlsTicketKeys::forSealing(Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    rotateLocked(now);
    return current_;
}

std::optional<KoTlsTicketKeys::Opening> KoTlsTicketKeys::forOpening(const unsigned char* name, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    rotateLocked(now);
    const auto named = [name](const Key& key) { return std::equal(key.name.begin(), key.name.end(), name); };
    if (named(current_)) return Opening{current_, false};
    if (previous_ && named(*previous_) && now - previous_->made < 2 * lifetime_) return Opening{*previous_, true};
    return std::nullopt;
}
