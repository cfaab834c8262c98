#include "store/template_expander.h"

#include <cstdint>
#include <vector>

namespace velko::store {

namespace {

// The text not yet scanned, kept reversed so that a replacement is put in
// front of it by appending: each expansion costs the replacement's length,
// not the length of the whole text. Every byte carries its nesting depth.
class PendingText {
public:
    explicit PendingText(const std::string& text)
        : bytes_(text.rbegin(), text.rend()), depths_(text.size(), 0) {}

    std::size_t size() const { return bytes_.size(); }

    // Reversed index of the first '[' of the next "[[", or npos.
    std::size_t findOpen() const { return findPair('[', bytes_.size()); }

    // Reversed index of the first ']' of the next "]]" that starts before
    // the reversed index `before`, or npos.
    std::size_t findClose(std::size_t before) const { return findPair(']', before); }

    std::uint32_t depthAt(std::size_t index) const { return depths_[index]; }

    // Forward text of the reversed indices from..to, both included, from >= to.
    std::string forward(std::size_t from, std::size_t to) const {
        std::string result;
        result.reserve(from - to + 1);
        for (std::size_t i = from + 1; i > to; --i) result.push_back(bytes_[i - 1]);
        return result;
    }

    // Moves the bytes in front of the reversed index `keep` to out.
    void drainInto(std::string& out, std::size_t keep) {
        for (std::size_t i = bytes_.size(); i > keep; --i) out.push_back(bytes_[i - 1]);
        truncate(keep);
    }

    void truncate(std::size_t length) {
        bytes_.resize(length);
        depths_.resize(length);
    }

    void prepend(const std::string& text, std::uint32_t depth) {
        bytes_.append(text.rbegin(), text.rend());
        depths_.insert(depths_.end(), text.size(), depth);
    }

private:
    std::size_t findPair(char c, std::size_t before) const {
        for (std::size_t i = before; i >= 2; --i) {
            if (bytes_[i - 1] == c && bytes_[i - 2] == c) return i - 1;
        }
        return std::string::npos;
    }

    std::string bytes_;
    std::vector<std::uint32_t> depths_;
};

} // namespace

ExpansionEnd expandMarkers(std::string& text, const MarkerResolver& resolve,
                           const TemplateLimits& limits) {
    PendingText pending(text);
    std::string out;
    out.reserve(text.size());
    std::size_t expansions = 0;
    ExpansionEnd end = ExpansionEnd::complete;

    for (;;) {
        const std::size_t open = pending.findOpen();
        if (open == std::string::npos) break;
        pending.drainInto(out, open + 1);
        // The inner text starts two bytes behind the "[[".
        const std::size_t close = open >= 2 ? pending.findClose(open - 1) : std::string::npos;
        if (close == std::string::npos) break;

        const std::uint32_t depth = pending.depthAt(open);
        if (expansions >= limits.maxExpansions) {
            end = ExpansionEnd::expansionLimit;
            break;
        }
        if (depth >= limits.maxDepth) {
            end = ExpansionEnd::depthLimit;
            break;
        }

        const std::string inner =
            close + 3 <= open ? pending.forward(open - 2, close + 1) : std::string();
        std::string value = resolve(inner);

        const std::size_t markerLength = open - close + 2;
        const std::size_t rest = close - 1;
        if (value.size() > markerLength &&
            out.size() + rest + value.size() > limits.maxLength) {
            end = ExpansionEnd::lengthLimit;
            break;
        }
        pending.truncate(rest);
        pending.prepend(value, depth + 1);
        ++expansions;
    }
    pending.drainInto(out, 0);
    text = std::move(out);
    return end;
}

} // namespace velko::store
