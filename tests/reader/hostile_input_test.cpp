// Inputs meant to break the reader: deep nesting, long tokens, long runs of
// small tokens. Each must end with a tree or a KoException, in linear time.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "reader/dtd_element_reader_stream.h"
#include "reader/parse_document.h"
#include "reader_test_support.h"
#include "xml/xml_complex_element.h"

using reader_test::readAll;

namespace {

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

}  // namespace

TEST(readTokens, RefusesNestingBeyondTheLimit) {
    KoReaderLimits limits;
    limits.maxNestingDepth = 3;
    EXPECT_EQ(readAll("<a><a><a></a></a></a>", "xml", std::string::npos, limits).error, "");
    const auto deep = readAll("<a><a><a>\n<a>", "xml", std::string::npos, limits);
    EXPECT_EQ(deep.error, "elements nested deeper than 3 levels around line 2");
    EXPECT_EQ(deep.tree, "a{a{a{ws(\\n)}}}");
    // Self-closed and void elements open no level.
    EXPECT_EQ(readAll("<a><a><a><b/><br>x</a></a></a>", "html", std::string::npos, limits).error, "");
    // Style sheet levels count too.
    EXPECT_EQ(readAll("<a><style>@m{p{", "html", std::string::npos, limits).error,
              "elements nested deeper than 3 levels around line 1");
}

TEST(readTokens, DefaultLimitStopsAMillionOpenTags) {
    const std::string input = repeat("<a>", 1000000);
    std::istringstream in(input);
    std::string error;
    EXPECT_EQ(parseDocument(in, "xml", error), nullptr);
    EXPECT_EQ(error, "elements nested deeper than 1000 levels around line 1");
    const std::string fine = repeat("<a>", 1000) + repeat("</a>", 1000);
    std::istringstream in2(fine);
    EXPECT_NE(parseDocument(in2, "xml", error), nullptr);
}

TEST(readTokens, ReadsLongRunsOfSmallTokens) {
    // Each declaration at sheet level first looks for a selector brace to
    // the end of the input; that search is done once, not per declaration.
    const auto sheet = readAll(repeat("a:b;", 20000), "css");
    EXPECT_EQ(sheet.error, "");
    EXPECT_EQ(sheet.tree, repeat("prop(a=b)", 20000));
    const auto words = readAll(repeat("w ", 40000), "html");
    EXPECT_EQ(words.error, "");
    EXPECT_EQ(words.tree.size(), std::string("text(w)ws( )").size() * 40000);
}

TEST(readTokens, ReadsLongTokens) {
    reader_test::CerrCapture quiet;
    const std::string body = repeat("x-", 200000) + "y";
    const auto comment = readAll("<!--" + body + "-->", "xml");
    EXPECT_EQ(comment.error, "");
    EXPECT_EQ(comment.tree, "comment(" + body + ")");
    EXPECT_EQ(readAll("<!--" + body, "xml").error, "reading error  around line 1");
    EXPECT_EQ(readAll("<a b='" + body, "xml").error, "reading error  around line 1");
    EXPECT_EQ(readAll("<style>p" + body, "html").error, "reading error  around line 1");
    const auto attribute = readAll("<a b='" + body + "'/>", "xml");
    EXPECT_EQ(attribute.tree, "a[b=" + body + "]{}");
}

TEST(readTokens, ReadsEveryByteValue) {
    std::string bytes;
    for (int c = 0; c < 256; ++c) {
        if (c != '<' && c != ' ' && c != '\t' && c != '\n' && c != '\r') bytes.push_back(static_cast<char>(c));
    }
    const auto got = readAll("<a>" + bytes + "</a>", "xml");
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(got.tree, "a{text(" + bytes + ")}");
}
