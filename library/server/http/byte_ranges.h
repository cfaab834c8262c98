// Server stack: the Range field of a request for a file of known size
// ("bytes=0-99", "bytes=500-", "bytes=-200", lists of them).
//
// A value in another unit, or one that is not a valid list of byte ranges
// (a last position before the first, no range at all, anything that is not
// digits where digits belong), is ignored: the whole file is the answer.
// Ranges that start past the end are dropped, ends past the end are cut to
// it; when none is left the request is unsatisfiable (416). The ranges left
// are put in order and those that overlap or touch are joined; more than
// `maxParts` after that is ignored too, so a list of many tiny ranges
// never costs more than the whole file.
// Pure function; any thread may call it; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct KoByteRange {
    std::uint64_t first = 0;
    std::uint64_t length = 0;  // at least 1

    bool operator==(const KoByteRange&) const = default;
};

struct KoRangeRequest {
    enum class Kind {
        // Serve the whole file.
        ignored,
        // Serve these ranges (in order, apart from each other).
        ranges,
        unsatisfiable,
    };
    Kind kind = Kind::ignored;
    std::vector<KoByteRange> ranges;
};

inline constexpr std::size_t kMaxRangeParts = 32;

KoRangeRequest KoParseRange(std::string_view value, std::uint64_t size, std::size_t maxParts = kMaxRangeParts);
