// Access: KoAddress, a peer's IP address as sixteen bytes, and the CIDR
// networks that address rules are made of.
//
// An IPv4 address is held in its IPv4-mapped IPv6 form (::ffff:a.b.c.d), so
// that a rule written for 10.0.0.0/8 also matches a peer that a dual-stack
// socket reports as ::ffff:10.1.2.3. Parsing is strict (no leading zeros in
// IPv4 parts, no zone index, no blanks) and never throws; rule parsing
// throws KoException with the text it could not read. Plain values: any
// thread.
//
// May use: foundation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class KoAddress {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // "192.168.1.2", "::1", "fe80::1", "::ffff:10.0.0.1", "[::1]"; empty
    // when the text is none of these.
    static std::optional<KoAddress> parse(std::string_view text);

    const Bytes& bytes() const { return bytes_; }
    bool isIPv4() const;  // held in the mapped form
    bool isLoopback() const;  // 127.0.0.0/8 or ::1
    bool operator==(const KoAddress&) const = default;

private:
    Bytes bytes_{};
};

// An address and the number of leading bits that must match.
class KoNetwork {
public:
    // "10.0.0.0/8", "fd00::/8", "192.168.1.7" (a single host), "all".
    // Throws KoException naming the text when it is none of these, or when
    // the prefix is too long for the family.
    static KoNetwork parse(std::string_view text);

    bool contains(const KoAddress& address) const;

private:
    KoAddress base_;
    unsigned prefixBits_ = 0;  // of the 128-bit form
};
