#include "access/address.h"

#include <cstddef>
#include <vector>

#include "foundation/exception.h"

namespace {

constexpr std::size_t mappedPrefix = 12;  // ::ffff: takes the first twelve bytes

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal parts of 0 to 255, no leading zeros.
bool ParseIPv4(std::string_view text, std::uint8_t* out) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') return false;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && IsDigit(text[digits]) && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text.front() == '0')) return false;
        out[part] = static_cast<std::uint8_t>(value);
        text.remove_prefix(digits);
    }
    return text.empty();
}

// Groups of up to four hex digits, at most one "::", an IPv4 tail allowed.
bool ParseIPv6(std::string_view text, std::uint8_t* out) {
    std::vector<std::uint16_t> head, tail;
    std::vector<std::uint16_t>* groups = &head;
    bool compressed = false;
    bool ipv4Tail = false;
    std::uint8_t v4[4] = {};
    if (text.substr(0, 2) == "::") {
        compressed = true;
        groups = &tail;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == ':') {
        return false;
    }
    while (!text.empty()) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (!ParseIPv4(group, v4)) return false;
            ipv4Tail = true;
            text = {};
            break;
        }
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (const char c : group) {
            const int digit = HexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups->push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (!text.empty() && text.front() == ':') {
            if (compressed) return false;
            compressed = true;
            groups = &tail;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return false;  // a trailing single colon
        }
    }
    const std::size_t words = head.size() + tail.size() + (ipv4Tail ? 2 : 0);
    if (compressed ? words > 7 : words != 8) return false;
    std::size_t at = 0;
    for (const std::uint16_t word : head) {
        out[at++] = static_cast<std::uint8_t>(word >> 8);
        out[at++] = static_cast<std::uint8_t>(word & 0xFF);
    }
    at = 16 - tail.size() * 2 - (ipv4Tail ? 4 : 0);
    for (const std::uint16_t word : tail) {
        out[at++] = static_cast<std::uint8_t>(word >> 8);
        out[at++] = static_cast<std::uint8_t>(word & 0xFF);
    }
    if (ipv4Tail) {
        for (const std::uint8_t byte : v4) out[at++] = byte;
    }
    return true;
}

}  // namespace

std::optional<KoAddress> KoAddress::parse(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    KoAddress address;
    if (text.find(':') == std::string_view::npos) {
        if (!ParseIPv4(text, address.bytes_.data() + mappedPrefix)) return std::nullopt;
        address.bytes_[10] = 0xFF;
        address.bytes_[11] = 0xFF;
        return address;
    }
    if (!ParseIPv6(text, address.bytes_.data())) return std::nullopt;
    return address;
}

bool KoAddress::isIPv4() const {
    for (std::size_t i = 0; i < 10; ++i) {
        if (bytes_[i] != 0) return false;
    }
    return bytes_[10] == 0xFF && bytes_[11] == 0xFF;
}

bool KoAddress::isLoopback() const {
    if (isIPv4()) return bytes_[mappedPrefix] == 127;
    for (std::size_t i = 0; i < 15; ++i) {
        if (bytes_[i] != 0) return false;
    }
    return bytes_[15] == 1;
}

KoNetwork KoNetwork::parse(std::string_view text) {
    KoNetwork network;
    if (text == "all") return network;  // no bit needs to match
    const std::size_t slash = text.find('/');
    const auto address = KoAddress::parse(text.substr(0, slash));
    if (!address) throw KoException("not an address or network: " + std::string(text), __LINE__, "src");
    network.base_ = *address;
    const unsigned familyBits = address->isIPv4() ? 32 : 128;
    unsigned bits = familyBits;
    if (slash != std::string_view::npos) {
        const std::string_view prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 3) throw KoException("bad network prefix: " + std::string(text), __LINE__, "src");
        bits = 0;
        for (const char c : prefix) {
            if (!IsDigit(c)) throw KoException("bad network prefix: " + std::string(text), __LINE__, "src");
            bits = bits * 10 + static_cast<unsigned>(c - '0');
        }
        if (bits > familyBits) throw KoException("network prefix too long: " + std::string(text), __LINE__, "src");
    }
    network.prefixBits_ = bits + (128 - familyBits);
    return network;
}

bool KoNetwork::contains(const KoAddress& address) const {
    const auto& want = base_.bytes();
    const auto& have = address.bytes();
    unsigned bits = prefixBits_;
    for (std::size_t i = 0; i < want.size() && bits > 0; ++i) {
        const unsigned take = bits >= 8 ? 8 : bits;
        const auto mask = static_cast<std::uint8_t>(0xFF << (8 - take));
        if ((want[i] & mask) != (have[i] & mask)) return false;
        bits -= take;
    }
    return true;
}
