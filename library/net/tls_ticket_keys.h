// Net: KoTlsTicketKeys, the keys with which a TLS server seals the session
// tickets it hands out, so that a client may resume its session with an
// abbreviated handshake (no certificate, no key exchange signature).
//
// A key is made from random bytes when the store is built, and replaced by a
// new one once it is `lifetime` old; tickets sealed with the key before it
// are still opened for one more lifetime (the client then gets a ticket
// under the current key), older ones no longer: a stolen key opens at most
// two lifetimes of tickets. Keys never leave the process.
//
// forSealing() and forOpening() are what the TLS library's ticket callback
// (KoTlsContext) asks; the clock is given, so rotation can be tested.
// Threads: any; a mutex guards the keys (taken per ticket sealed or opened,
// not per request). Failures: the constructor throws KoException_SSL when
// the system gives no random bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

class KoTlsTicketKeys {
public:
    using Clock = std::chrono::steady_clock;

    struct Key {
        std::array<unsigned char, 16> name{};
        std::array<unsigned char, 32> cipherKey{};  // AES-256-CBC
        std::array<unsigned char, 32> macKey{};     // HMAC-SHA256
        Clock::time_point made{};
    };

    struct Opening {
        Key key;
        bool renew = false;  // sealed with the previous key: hand out a new ticket
    };

    explicit KoTlsTicketKeys(std::chrono::seconds lifetime, Clock::time_point now = Clock::now());
    KoTlsTicketKeys(const KoTlsTicketKeys&) = delete;
    KoTlsTicketKeys& operator=(const KoTlsTicketKeys&) = delete;

    // The key to seal a new ticket with (rotating first when it is due).
    Key forSealing(Clock::time_point now = Clock::now());
    // The key a ticket named so was sealed with, while it may still open it.
    std::optional<Opening> forOpening(const unsigned char* name, Clock::time_point now = Clock::now());

    std::chrono::seconds lifetime() const { return lifetime_; }

private:
    void rotateLocked(Clock::time_point now);
    static Key makeKey(Clock::time_point now);

    const std::chrono::seconds lifetime_;
    std::mutex lock_;
    Key current_;
    std::optional<Key> previous_;
};
