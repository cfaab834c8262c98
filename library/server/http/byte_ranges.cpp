#include "server/http/byte_ranges.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>

namespace {

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Digits only; a number past 64 bits reads as the largest one, which is
// past the end of any file.
std::optional<std::uint64_t> Number(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        value = value > (kHuge - digit) / 10 ? kHuge : value * 10 + digit;
    }
    return value;
}

// One range-spec. Nothing when it is malformed; a zero length when it is
// valid but lies outside the file.
std::optional<KoByteRange> Spec(std::string_view spec, std::uint64_t size) {
    const std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const std::string_view before = spec.substr(0, dash);
    const std::string_view after = spec.substr(dash + 1);
    if (before.empty()) {
        // The last n bytes.
        const auto suffix = Number(after);
        if (!suffix) return std::nullopt;
        const std::uint64_t length = std::min(*suffix, size);
        return KoByteRange{size - length, length};
    }
    const auto first = Number(before);
    if (!first) return std::nullopt;
    std::uint64_t last = kHuge;
    if (!after.empty()) {
        const auto given = Number(after);
        if (!given || *given < *first) return std::nullopt;
        last = *given;
    }
    if (*first >= size) return KoByteRange{*first, 0};
    last = std::min(last, size - 1);
    return KoByteRange{*first, last - *first + 1};
}

bool StartsWithBytesUnit(std::string_view value) {
    constexpr std::string_view unit = "bytes=";
    if (value.size() < unit.size()) return false;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != unit[i]) return false;
    }
    return true;
}

}  // namespace

KoRangeRequest KoParseRange(std::string_view value, std::uint64_t size, std::size_t maxParts) {
    KoRangeRequest request;
    value = Trimmed(value);
    if (!StartsWithBytesUnit(value)) return request;
    value.remove_prefix(6);

    std::vector<KoByteRange> wanted;
    bool any = false;
    while (!value.empty() || !any) {
        const std::size_t comma = value.find(',');
        const std::string_view element = Trimmed(value.substr(0, comma));
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        if (element.empty()) {
            // Empty list elements are allowed; a list of nothing else is not.
            if (value.empty() && !any) return request;
            continue;
        }
        any = true;
        const std::optional<KoByteRange> range = Spec(element, size);
        if (!range) return request;
        if (range->length != 0) wanted.push_back(*range);
    }
    if (wanted.empty()) {
        request.kind = KoRangeRequest::Kind::unsatisfiable;
        return request;
    }

    std::sort(wanted.begin(), wanted.end(), [](const KoByteRange& a, const KoByteRange& b) { return a.first < b.first; });
    for (const KoByteRange& range : wanted) {
        if (!request.ranges.empty()) {
            KoByteRange& last = request.ranges.back();
            const std::uint64_t lastEnd = last.first + last.length;
            if (range.first <= lastEnd) {
                last.length = std::max(lastEnd, range.first + range.length) - last.first;
                continue;
            }
        }
        request.ranges.push_back(range);
    }
    if (request.ranges.size() > maxParts) {
        request.ranges.clear();
        return request;
    }
    request.kind = KoRangeRequest::Kind::ranges;
    return request;
}
