// Server stack: entity tags, the validator that tells one version of a
// file from another. A file's tag is strong and made of its file id (the
// inode), size and modification time in nanoseconds, in hex:
// "1a2b-400-17f3c2d5e8a01234". The same file, unchanged, always gets the
// same tag; a rewrite changes its time, a replacement its id.
//
// Field values hold a list: "*" or entity tags separated by commas
// ("a", W/"b"); several field lines are one list. A value that is not such
// a list matches nothing.
// Pure functions; any thread may call them; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The quoted strong tag of a file version.
std::string KoEntityTagOf(std::uint64_t fileId, std::uint64_t size, std::int64_t modifiedSeconds,
                          std::int64_t modifiedNanoseconds);

enum class KoTagComparison {
    // Both tags strong and the same (If-Match, If-Range).
    strong,
    // The same apart from weakness (If-None-Match).
    weak,
};

// Whether value is exactly one tag, the same as `current` under the
// comparison (If-Range).
bool KoEntityTagEquals(std::string_view value, std::string_view current, KoTagComparison comparison);

// Whether the list in the field values holds `current` (a quoted tag,
// strong or W/) under the comparison, or is "*".
bool KoEntityTagListMatches(const std::vector<std::string>& values, std::string_view current,
                            KoTagComparison comparison);
