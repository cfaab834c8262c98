#include "server/http/entity_tag.h"

#include <cstdio>
#include <optional>

namespace {

struct Tag {
    bool weak = false;
    std::string_view opaque;  // with its quotes
};

bool IsListBlank(char c) { return c == ' ' || c == '\t'; }

void SkipBlanks(std::string_view& text) {
    while (!text.empty() && IsListBlank(text.front())) text.remove_prefix(1);
}

// One tag at the start of text: [W/] DQUOTE *etagc DQUOTE, where etagc is
// any visible byte but DQUOTE, or obs-text.
std::optional<Tag> TakeTag(std::string_view& text) {
    Tag tag;
    if (text.substr(0, 2) == "W/") {
        tag.weak = true;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() != '"') return std::nullopt;
    std::size_t end = 1;
    for (; end < text.size() && text[end] != '"'; ++end) {
        const auto c = static_cast<unsigned char>(text[end]);
        if (c < 0x21 || c == 0x7f) return std::nullopt;
    }
    if (end == text.size()) return std::nullopt;
    tag.opaque = text.substr(0, end + 1);
    text.remove_prefix(end + 1);
    return tag;
}

bool Same(const Tag& a, const Tag& b, KoTagComparison comparison) {
    if (comparison == KoTagComparison::strong && (a.weak || b.weak)) return false;
    return a.opaque == b.opaque;
}

// Whether one field value holds the tag: "*" alone, or a list whose
// elements (empty ones allowed) are tags. Malformed: nothing.
bool ValueMatches(std::string_view value, const Tag& current, KoTagComparison comparison) {
    SkipBlanks(value);
    while (!value.empty() && IsListBlank(value.back())) value.remove_suffix(1);
    if (value == "*") return true;
    bool found = false;
    while (!value.empty()) {
        if (value.front() == ',') {
            value.remove_prefix(1);
            SkipBlanks(value);
            continue;
        }
        const std::optional<Tag> tag = TakeTag(value);
        if (!tag) return false;
        found = found || Same(*tag, current, comparison);
        SkipBlanks(value);
        if (!value.empty() && value.front() != ',') return false;
    }
    return found;
}

}  // namespace

std::string KoEntityTagOf(std::uint64_t fileId, std::uint64_t size, std::int64_t modifiedSeconds,
                          std::int64_t modifiedNanoseconds) {
    const auto nanoseconds = static_cast<std::uint64_t>(modifiedSeconds) * 1'000'000'000u +
                             static_cast<std::uint64_t>(modifiedNanoseconds);
    char text[80];
    std::snprintf(text, sizeof text, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(fileId),
                  static_cast<unsigned long long>(size), static_cast<unsigned long long>(nanoseconds));
    return text;
}

bool KoEntityTagEquals(std::string_view value, std::string_view current, KoTagComparison comparison) {
    const std::optional<Tag> given = TakeTag(value);
    const std::optional<Tag> tag = TakeTag(current);
    return given && tag && value.empty() && current.empty() && Same(*given, *tag, comparison);
}

bool KoEntityTagListMatches(const std::vector<std::string>& values, std::string_view current,
                            KoTagComparison comparison) {
    std::string_view rest = current;
    const std::optional<Tag> tag = TakeTag(rest);
    if (!tag || !rest.empty()) return false;
    for (const std::string& value : values) {
        if (ValueMatches(value, *tag, comparison)) return true;
    }
    return false;
}
