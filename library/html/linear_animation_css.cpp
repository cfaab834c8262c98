#include "html/linear_animation_css.h"

#include <limits>
#include <locale>
#include <optional>
#include <sstream>

namespace {

const char* const kErrorText = "/* error */\n";

std::string unquote(const std::string& token) {
    auto isQuote = [](char c) { return c == '"' || c == '\''; };
    if (token.empty() || !isQuote(token.front()) || !isQuote(token.back())) {
        return token;
    }
    // A lone quote character is its own first and last character.
    if (token.size() < 2) {
        return std::string();
    }
    return token.substr(1, token.size() - 2);
}

// Leading white space and a plus sign are accepted and reading stops at the
// first non-digit. A minus sign is refused: wrapping it round to a huge
// unsigned value would be a plainly wrong count.
std::optional<unsigned long long> parseUnsigned(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' ||
            text[pos] == '\r' || text[pos] == '\f' || text[pos] == '\v')) {
        ++pos;
    }
    if (pos < text.size() && text[pos] == '+') {
        ++pos;
    }
    const std::size_t firstDigit = pos;
    unsigned long long value = 0;
    const unsigned long long limit = std::numeric_limits<unsigned long long>::max();
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        const unsigned digit = static_cast<unsigned>(text[pos] - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
        ++pos;
    }
    if (pos == firstDigit) {
        return std::nullopt;
    }
    return value;
}

// Frames at 0 and 100 percent are written as literal texts, the others as
// doubles with a default stream's formatting.
struct Frames {
    std::ostringstream out;

    Frames() { out.imbue(std::locale::classic()); }

    template <class Percent>
    void add(const Percent& percent, const std::string& decl) {
        out << percent << "% {\n" << "  " << decl << "\n}\n";
    }
};

void keyframeBlock(std::ostringstream& out, const char* keyword,
                   const std::string& stem, unsigned long long i,
                   unsigned long long n, const std::string& shown,
                   const std::string& hidden, double edge) {
    const double s = 100.0 / static_cast<double>(n);
    const double pos = static_cast<double>(i) * s;
    const double next = static_cast<double>(i + 1) * s;
    Frames f;
    if (i == 0) {
        f.add("0", shown);
        f.add(s - edge, shown);
        f.add(s, hidden);
        f.add(100.0 - edge, hidden);
        f.add("100", shown);
    } else if (i < n - 1) {
        f.add("0", hidden);
        f.add(pos - edge, hidden);
        f.add(pos, shown);
        f.add(next - edge, shown);
        f.add(next, hidden);
        f.add("100", hidden);
    } else {
        f.add("0", hidden);
        f.add(pos - edge, hidden);
        f.add(pos, shown);
        f.add(100.0 - edge, shown);
        f.add("100", hidden);
    }
    out << "@" << keyword << " " << stem << i << " {\n" << f.out.str() << "}\n\n";
}

}  // namespace

std::string linearAnimationCss(const std::vector<std::string>& tokens) {
    if (tokens.empty() || tokens[0] != "linearanimation(" || tokens.size() < 8) {
        return kErrorText;
    }
    const std::string base = unquote(tokens[1]);
    const std::string timing1 = unquote(tokens[2]);
    const std::string timing2 = unquote(tokens[3]);
    const std::optional<unsigned long long> count = parseUnsigned(unquote(tokens[4]));
    const std::string shown = unquote(tokens[5]);
    const std::string hidden = unquote(tokens[6]);
    const std::optional<unsigned long long> edgePoints = parseUnsigned(unquote(tokens[7]));
    if (!count || !edgePoints || *count > kLinearAnimationMaxCount) {
        return kErrorText;
    }
    const unsigned long long n = *count;
    if (n <= 1) {
        return std::string();
    }
    const double edge = static_cast<double>(*edgePoints);
    std::string stem = base;
    if (!stem.empty() && (stem[0] == '.' || stem[0] == '#')) {
        stem.erase(0, 1);
    }

    std::ostringstream out;
    out.imbue(std::locale::classic());
    for (unsigned long long i = 0; i < n; ++i) {
        out << base << i << " {\n";
        out << "  -webkit-animation: " << stem << i << " " << timing1 << " " << timing2 << ";\n";
        out << "  animation: " << stem << i << " " << timing1 << " " << timing2 << ";\n";
        out << "}\n\n";
        keyframeBlock(out, "-webkit-keyframes", stem, i, n, shown, hidden, edge);
        keyframeBlock(out, "keyframes", stem, i, n, shown, hidden, edge);
    }
    return out.str();
}
