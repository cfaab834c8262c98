// Expands "[[" name "]]" markers in a text, rescanning every replacement.
//
// A marker is the text from a "[[" to the next "]]" after it; its inner text
// goes to a resolver, and the result takes the marker's place. Scanning goes
// on where the marker began, so markers inside a replacement are expanded in
// turn. A "[[" without a following "]]" ends the scan and stays as it is.
//
// Because replacements are rescanned, a value that reproduces its own marker
// would expand without end. Three bounds stop that: the number of expansions
// per call, the nesting depth of a replacement inside replacements, and the
// length of the text. Once a bound is reached the scan stops and the rest of
// the text, from the marker that would have crossed it, stays unexpanded.
//
// Pure function of its arguments; any thread may call it. An exception from
// the resolver leaves the text unchanged and propagates.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace velko::store {

struct TemplateLimits {
    static constexpr std::size_t kDefaultMaxExpansions = 10000;
    static constexpr std::size_t kDefaultMaxDepth = 100;
    static constexpr std::size_t kDefaultMaxLength = 16 * 1024 * 1024;

    std::size_t maxExpansions = kDefaultMaxExpansions;
    // Depth 0 is the caller's own text; a replacement sits one deeper than
    // the marker it replaced.
    std::size_t maxDepth = kDefaultMaxDepth;
    std::size_t maxLength = kDefaultMaxLength;
};

enum class ExpansionEnd {
    complete,       // no marker left, or a "[[" without "]]"
    expansionLimit, // stopped by maxExpansions
    depthLimit,     // stopped by maxDepth
    lengthLimit,    // stopped by maxLength
};

using MarkerResolver = std::function<std::string(const std::string& inner)>;

// Rewrites text in place; returns why the scan ended.
ExpansionEnd expandMarkers(std::string& text, const MarkerResolver& resolve,
                           const TemplateLimits& limits = {});

} // namespace velko::store
