#include "store/command_compiler.h"

#include <string_view>

#include "html/linear_animation_css.h"

namespace velko::store {

namespace {

using CommandFunction = std::string (*)(const std::vector<std::string>& tokens);

struct Command {
    std::string_view name; // including the "("
    CommandFunction run;
};

constexpr Command kCommands[] = {
    {"linearanimation(", &linearAnimationCss},
};

bool isArgumentBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

} // namespace

std::vector<std::string> splitCall(const std::string& call) {
    std::vector<std::string> tokens;
    const std::size_t paren = call.find('(');
    if (paren == std::string::npos) {
        tokens.push_back(call);
        return tokens;
    }
    tokens.push_back(call.substr(0, paren + 1));

    std::size_t pos = paren + 1;
    bool first = true;
    while (pos < call.size()) {
        while (pos < call.size() && isArgumentBlank(call[pos])) ++pos;
        const std::size_t stop = call.find_first_of(",)", pos);
        // "name()" has no argument; "name(a,)" has an empty second one.
        if (first && stop != std::string::npos && stop == pos && call[stop] == ')') break;
        first = false;
        if (stop == std::string::npos) {
            tokens.push_back(call.substr(pos));
            break;
        }
        tokens.push_back(call.substr(pos, stop - pos));
        if (call[stop] == ')') break;
        pos = stop + 1;
        if (pos == call.size()) tokens.emplace_back(); // trailing comma, no ")"
    }
    return tokens;
}

std::string compileCommand(const std::string& command) {
    const std::string call = command.empty() || command[0] != '!' ? command : command.substr(1);
    const std::vector<std::string> tokens = splitCall(call);
    for (const Command& c : kCommands) {
        if (tokens.front() == c.name) return c.run(tokens);
    }
    return {};
}

} // namespace velko::store
