#include "reader/parse_document.h"

#include <gtest/gtest.h>

#include <sstream>

#include "reader_test_support.h"
#include "xml/xml_complex_element.h"

namespace {

std::unique_ptr<KoXMLComplexElement> parse(const std::string& text, const std::string& grammar,
                                           std::string& error) {
    std::istringstream in(text);
    reader_test::CerrCapture quiet;
    return parseDocument(in, grammar, error);
}

}  // namespace

TEST(parseDocument, EmptyInputGivesNullWithoutError) {
    std::string error;
    EXPECT_EQ(parse("", "xml", error), nullptr);
    EXPECT_EQ(error, "");
    EXPECT_EQ(parse(" \n<!-- only a comment -->\n", "xml", error), nullptr);
    EXPECT_EQ(error, "");
}

TEST(parseDocument, ReturnsTheRootWithoutDeclarationAndComments) {
    std::string error;
    auto root = parse("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- saved -->\n"
                      "<store><project name=\"p\"><x>1</x></project></store>\n",
                      "xml", error);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(error, "");
    EXPECT_EQ(root->parent(), nullptr);
    EXPECT_EQ(reader_test::dump(root.get()), "store{project[name=p]{x{text(1)}}}");
}

TEST(parseDocument, StoresTheErrorText) {
    std::string error = "untouched";
    EXPECT_EQ(parse("<a>\n<b></a>", "xml", error), nullptr);
    EXPECT_EQ(error, "wrong closing tag '/a' instead '/b' around line 2");
    EXPECT_EQ(parse("<a>", "nothing", error), nullptr);
    EXPECT_EQ(error, "DTD 'nothing' not defined around line 1");
}

TEST(parseDocument, AnUnfinishedRootIsStillReturned) {
    // The end of the input closes nothing; what was built is the document.
    std::string error;
    auto root = parse("<a><b>x", "xml", error);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(reader_test::dump(root.get()), "a{b{text(x)}}");
}

TEST(parseDocument, HtmlGivesTheDoctypeFirst) {
    std::string error;
    auto first = parse("<!DOCTYPE html>\n<html></html>", "html", error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name(), "HTMLDoctype");
    auto page = parse("\n<html><body>x</body></html>", "html", error);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(reader_test::dump(page.get()), "html{body{text(x)}}");
}
