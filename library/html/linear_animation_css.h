// Keyframe animation CSS for slide shows: n elements, each shown during its
// own n-th of the cycle, with cross-fades of a given number of percentage
// points.
//
// linearAnimationCss is a pure function: any thread may call it. It never
// throws for bad input; a malformed call gives the text "/* error */\n".
#pragma once

#include <string>
#include <vector>

// Counts above this are refused as an error: the output grows with the
// count, and a count taken from stored application data must not be able to
// exhaust memory.
inline constexpr unsigned long long kLinearAnimationMaxCount = 1000;

// tokens[0] must be exactly "linearanimation("; tokens[1..7] are, in order:
// base selector, timing1, timing2, count, shown declarations, hidden
// declarations, edge (percentage points). An argument enclosed in single or
// double quotes is unquoted first. Arguments past the seventh are ignored.
// Returns the CSS text, "" for a count of 0 or 1, or "/* error */\n".
std::string linearAnimationCss(const std::vector<std::string>& tokens);
