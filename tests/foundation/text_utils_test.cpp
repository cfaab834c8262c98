#include "foundation/text_utils.h"
#include "foundation/base64.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <string>
#include <vector>

using Pieces = std::vector<std::string>;

TEST(SplitText, KeepsOrSkipsEmptyPieces) {
    EXPECT_EQ(splitText("a,,b,", ",", false), (Pieces{"a", "", "b"}));
    EXPECT_EQ(splitText("a,,b,", ",", true), (Pieces{"a", "b"}));
    EXPECT_EQ(splitText("", ",", false), Pieces{});
    EXPECT_EQ(splitText(",", ",", false), Pieces{""});
    EXPECT_EQ(splitText(",", ",", true), Pieces{});
    EXPECT_EQ(splitText(",a", ",", false), (Pieces{"", "a"}));
    EXPECT_EQ(splitText("abc", ",", true), Pieces{"abc"});
}

TEST(SplitText, TheWholeDelimiterSeparates) {
    EXPECT_EQ(splitText("a\r\nb\rc\r\n", "\r\n", false), (Pieces{"a", "b\rc"}));
    EXPECT_EQ(splitText("x--y-z----", "--", false), (Pieces{"x", "y-z", ""}));
    EXPECT_EQ(splitText("a=b=c", "=", false), (Pieces{"a", "b", "c"}));
}

// An empty delimiter used to match at every position without advancing.
TEST(SplitText, EmptyDelimiterDoesNotSplit) {
    EXPECT_EQ(splitText("abc", "", false), Pieces{"abc"});
    EXPECT_EQ(splitText("", "", true), Pieces{});
}

TEST(Trim, DropsCharactersOfTheSet) {
    EXPECT_EQ(trimLeft("  a b  ", " "), "a b  ");
    EXPECT_EQ(trimRight("  a b  ", " "), "  a b");
    EXPECT_EQ(trim("  a b  ", " "), "a b");
    EXPECT_EQ(trim("   ", " "), "");
    EXPECT_EQ(trimLeft("   ", " "), "");
    EXPECT_EQ(trimRight("   ", " "), "");
    EXPECT_EQ(trim("", " "), "");
    EXPECT_EQ(trim("\t\r\nvalue \t", " \t\r\n"), "value");
    EXPECT_EQ(trim("xxaxx", "x"), "a");
    EXPECT_EQ(trim("abc", ""), "abc");
}

struct DecodeCase {
    std::string input;
    std::string expected;
};

TEST(PercentDecode, DecodesEscapesByteForByte) {
    const std::vector<DecodeCase> cases = {
        {"a%41b", "aAb"},
        {"%4Gx", std::string("\x04", 1) + "x"},
        {"%", "%"},
        {"abc%", "abc%"},
        {"%zz", "%zz"},
        {"%2541", "%41"},
        {"%25%41", "%A"},
        {"%20", " "},
        {"%2", "\x02"},
        {"%ff", "\xff"},
        {"%00z", std::string("\0z", 2)},
        {"%+4", "\x04"},
        {"% 4", "\x04"},
        {"%-1", "\xff"},
        {"%+", "%+"},
        {"%%41", "%A"},
        {"no escapes", "no escapes"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(percentDecode(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(FormValueDecode, PlusIsABlankButAnEscapedPlusIsNot) {
    EXPECT_EQ(formValueDecode("a+b%2Bc"), "a b+c");
    EXPECT_EQ(formValueDecode("++"), "  ");
    EXPECT_EQ(formValueDecode("x%26y%3Dz"), "x&y=z");
}

// The lenient decoder above reads escapes as strtol does ("%-1" is 0xFF,
// "%+2" is 0x02), which is no decoding for what a client sent.
TEST(PercentDecodeStrict, TakesExactlyTwoHexDigits) {
    const struct {
        const char* input;
        const char* decoded;  // nullptr: refused
        const char* form;     // formValueDecodeStrict; nullptr: refused
    } table[] = {
        {"a%41b", "aAb", "aAb"},     {"%2541", "%41", "%41"},  {"%ff%FF", "\xff\xff", "\xff\xff"},
        {"a+b%2B", "a+b+", "a b+"},  {"", "", ""},             {"plain", "plain", "plain"},
        {"%-1", nullptr, nullptr},   {"%+2", nullptr, nullptr}, {"% 4", nullptr, nullptr},
        {"%2", nullptr, nullptr},    {"%", nullptr, nullptr},  {"a%4Gx", nullptr, nullptr},
        {"%zz", nullptr, nullptr},   {"%%41", nullptr, nullptr}, {"%0x4", nullptr, nullptr},
    };
    for (const auto& row : table) {
        const auto decoded = percentDecodeStrict(row.input);
        const auto form = formValueDecodeStrict(row.input);
        EXPECT_EQ(decoded.has_value(), row.decoded != nullptr) << row.input;
        EXPECT_EQ(form.has_value(), row.form != nullptr) << row.input;
        EXPECT_EQ(percentEscapesWellFormed(row.input), row.decoded != nullptr) << row.input;
        EXPECT_EQ(decoded.value_or("<refused>"), row.decoded ? row.decoded : "<refused>") << row.input;
        EXPECT_EQ(form.value_or("<refused>"), row.form ? row.form : "<refused>") << row.input;
    }
    EXPECT_EQ(percentDecodeStrict(std::string("%00", 3)).value_or("x"), std::string("\0", 1));
}

TEST(EscapeForScript, EscapesTheEightCharacters) {
    EXPECT_EQ(escapeForScript("\r\n\t\f\b\\\"'"), "\\r\\n\\t\\f\\b\\\\\\\"\\'");
    EXPECT_EQ(escapeForScript("say \"hi\"\n"), "say \\\"hi\\\"\\n");
    // The inserted backslash is not escaped a second time.
    EXPECT_EQ(escapeForScript("\\\\"), "\\\\\\\\");
    EXPECT_EQ(escapeForScript("<b>\x01\xe4</b>"), "<b>\x01\xe4</b>");
    EXPECT_EQ(escapeForScript(""), "");
}

TEST(ParseUnsignedOr, ReadsLikeStoullOrFallsBack) {
    EXPECT_EQ(parseUnsignedOr("42", 7), 42u);
    EXPECT_EQ(parseUnsignedOr("  \t42abc", 7), 42u);
    EXPECT_EQ(parseUnsignedOr("+5", 7), 5u);
    EXPECT_EQ(parseUnsignedOr("0", 7), 0u);
    EXPECT_EQ(parseUnsignedOr("18446744073709551615", 7), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parseUnsignedOr("18446744073709551616", 7), 7u);
    EXPECT_EQ(parseUnsignedOr("99999999999999999999999", 7), 7u);
    EXPECT_EQ(parseUnsignedOr("", 7), 7u);
    EXPECT_EQ(parseUnsignedOr("abc", 7), 7u);
    EXPECT_EQ(parseUnsignedOr(" ", 7), 7u);
    EXPECT_EQ(parseUnsignedOr("+", 7), 7u);
}

// A negative length such as "-1" used to wrap around to 2^64-1.
TEST(ParseUnsignedOr, MinusSignFallsBack) {
    EXPECT_EQ(parseUnsignedOr("-1", 7), 7u);
    EXPECT_EQ(parseUnsignedOr(" -0", 7), 7u);
}

TEST(XmlEscape, EscapesMarkupQuotesAndLineBreaks) {
    const struct {
        const char* text;
        const char* escaped;
    } rows[] = {
        {"plain", "plain"},
        {"a&b", "a&amp;b"},
        {"<b>\"x\" 'y'</b>", "&lt;b&gt;&quot;x&quot; &#39;y&#39;&lt;/b&gt;"},
        {"one\r\ntwo\tthree", "one&#13;&#10;two&#9;three"},
        {"\xc3\xa4", "\xc3\xa4"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(xmlEscape(row.text), row.escaped) << row.text;
        EXPECT_EQ(xmlUnescape(row.escaped), row.text) << row.escaped;
    }
}

TEST(XmlUnescape, DecodesReferencesAndKeepsWhatIsNone) {
    const struct {
        const char* text;
        const char* decoded;
    } rows[] = {
        {"&apos;&amp;amp;", "'&amp;"},  // decoded once
        {"&#65;&#x42;&#X43;", "ABC"},
        {"&#228;&#x20AC;&#x1F600;", "\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"a & b", "a & b"},
        {"&unknown;", "&unknown;"},
        {"&#0;&#xD800;&#x110000;&#;&#x;&#12a;", "&#0;&#xD800;&#x110000;&#;&#x;&#12a;"},
        {"&amp", "&amp"},
        {"&#65", "&#65"},
        {"&", "&"},
    };
    for (const auto& row : rows) EXPECT_EQ(xmlUnescape(row.text), row.decoded) << row.text;
}

TEST(EscapeForLog, QuotesBackslashesAndBytesOutsidePrintableAsciiBecomeHex) {
    const std::pair<std::string, std::string> cases[] = {
        {"Mozilla/5.0 (X11)", "Mozilla/5.0 (X11)"},
        {"evil\" 200 1 \"-\" \"x", "evil\\x22 200 1 \\x22-\\x22 \\x22x"},
        {"a\\b", "a\\x5Cb"},
        {"line\r\nnext", "line\\x0D\\x0Anext"},
        {"\x1b[31mred", "\\x1B[31mred"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"\x7f\xc3\xa9", "\\x7F\\xC3\\xA9"},
        {"", ""},
    };
    for (const auto& [raw, escaped] : cases) EXPECT_EQ(escapeForLog(raw), escaped) << raw;
}

TEST(Base64, EncodesWithPaddingAndDecodesOnlyWellFormedText) {
    const std::pair<std::string, std::string> pairs[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"alice:s3cret", "YWxpY2U6czNjcmV0"}, {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const auto& [bytes, text] : pairs) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zg==Zg==", "Zm9v*A==", "Zm=v", "Zm9v\n"}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
}

TEST(TrimBlanksAndSameLetters, FieldValueWhiteSpaceAndAsciiCase) {
    EXPECT_EQ(trimBlanks(" \t gzip ;q=1 \t"), "gzip ;q=1");
    EXPECT_EQ(trimBlanks(" \t "), "");
    EXPECT_EQ(trimBlanks("\r\nx\r\n"), "\r\nx\r\n");  // only blanks and tabs
    EXPECT_TRUE(sameLetters("WebSocket", "websocket"));
    EXPECT_TRUE(sameLetters("", ""));
    EXPECT_FALSE(sameLetters("basic", "basics"));
    EXPECT_FALSE(sameLetters("\xc3\x89", "\xc3\xa9"));  // no case folding beyond ASCII
}
