// Evaluates the commands that template markers carry: an inner text that
// starts with "!" followed by a call, written as a name directly followed by
// "(", comma-separated arguments and ")". linearanimation(...) produces
// keyframe animation CSS; an unknown command produces nothing.
//
// Pure functions; any thread may call them. They never throw for malformed
// input: a malformed linearanimation call yields "/* error */\n".
#pragma once

#include <string>
#include <vector>

namespace velko::store {

// Splits a call into its tokens: first the name with its "(", then one
// token per argument, each starting at its first byte that is not a blank,
// tab or newline and ending before the next "," or ")". Without a "(" the
// whole call is the one token.
std::vector<std::string> splitCall(const std::string& call);

// command is the marker's inner text, including its leading "!".
std::string compileCommand(const std::string& command);

} // namespace velko::store
