#include "reader/css_recognisers.h"

#include <gtest/gtest.h>

#include <sstream>

#include "reader/dtd_element_reader_stream.h"
#include "reader_test_support.h"

namespace {

// The token text, or "fail" with everything handed back; then "|" and what
// the next recogniser would read.
template <class Recogniser>
std::string recognise(const std::string& input) {
    std::istringstream in(input);
    KoDTDElementReaderStream reader(in);
    Recogniser recogniser;
    reader_test::CerrCapture quiet;
    std::string out = recogniser.read(reader) != nullptr ? recogniser.text : "fail";
    out += "|" + reader.pendingText();
    for (int c = in.get(); c >= 0; c = in.get()) out.push_back(static_cast<char>(c));
    return out;
}

}  // namespace

TEST(KoDTDElementRead_WhitespaceCSS, ReadsARun) {
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSS>(" \n\tp"), " \n\t|p");
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSS>("p "), "fail|p ");
}

TEST(KoDTDElementRead_WhitespaceCSSHTMLComment, ReadsTheOpenerAndTheCloser) {
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSSHTMLComment>("<!--p"), "<!--|p");
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSSHTMLComment>("<!-p"), "fail|<!-p");
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSSHTMLCommentCloser>("-->x"), "-->|x");
    EXPECT_EQ(recognise<KoDTDElementRead_WhitespaceCSSHTMLCommentCloser>("->"), "fail|->");
    KoDTDElementRead_WhitespaceCSSHTMLCommentCloser closer;
    EXPECT_TRUE(closer.isCloser());
    EXPECT_TRUE(closer.closes("anything"));
    EXPECT_FALSE(KoDTDElementRead_WhitespaceCSSHTMLComment().isCloser());
}

TEST(KoDTDElementRead_CloserCSS, ReadsOneBrace) {
    EXPECT_EQ(recognise<KoDTDElementRead_CloserCSS>("}}"), "}|}");
    EXPECT_EQ(recognise<KoDTDElementRead_CloserCSS>("{"), "fail|{");
    KoDTDElementRead_CloserCSS closer;
    EXPECT_FALSE(closer.isCloser());
    closer.text = "}";
    EXPECT_TRUE(closer.isCloser());
}

TEST(KoDTDElementRead_CommentCSS, KeepsTheDelimiters) {
    EXPECT_EQ(recognise<KoDTDElementRead_CommentCSS>("/* x */p"), "/* x */|p");
    EXPECT_EQ(recognise<KoDTDElementRead_CommentCSS>("/**/"), "/**/|");
    // The opener's star does not close it.
    EXPECT_EQ(recognise<KoDTDElementRead_CommentCSS>("/*/ x **/"), "/*/ x **/|");
    EXPECT_EQ(recognise<KoDTDElementRead_CommentCSS>("/* x"), "fail|/* x");
    EXPECT_EQ(recognise<KoDTDElementRead_CommentCSS>("/ *x*/"), "fail|/ *x*/");
}

TEST(KoDTDElementRead_MediaQueryCSS, ReadsThePreludeUpToTheBrace) {
    EXPECT_EQ(recognise<KoDTDElementRead_MediaQueryCSS>("@media screen {p"), "@media screen |p");
    EXPECT_EQ(recognise<KoDTDElementRead_MediaQueryCSS>("@media screen"), "fail|@media screen");
    EXPECT_EQ(recognise<KoDTDElementRead_MediaQueryCSS>("media{"), "fail|media{");
}

TEST(KoDTDElementRead_RuleCSS, ReadsTheSelectorUpToTheBrace) {
    EXPECT_EQ(recognise<KoDTDElementRead_RuleCSS>("p {a"), "p |a");
    EXPECT_EQ(recognise<KoDTDElementRead_RuleCSS>("h1,\nh2{"), "h1,\nh2|");
    for (const char* first : {"_x{", "#id{", "*{", ".c{"}) {
        EXPECT_NE(recognise<KoDTDElementRead_RuleCSS>(first).substr(0, 4), "fail") << first;
    }
    EXPECT_EQ(recognise<KoDTDElementRead_RuleCSS>(":hover{"), "fail|:hover{");
    EXPECT_EQ(recognise<KoDTDElementRead_RuleCSS>("[x]{"), "fail|[x]{");
    EXPECT_EQ(recognise<KoDTDElementRead_RuleCSS>("p"), "fail|p");
}

TEST(KoDTDElementRead_PropertyCSS, EndsAtSemicolonOrBeforeTheBrace) {
    EXPECT_EQ(recognise<KoDTDElementRead_PropertyCSS>("color: red; x"), "color: red;| x");
    EXPECT_EQ(recognise<KoDTDElementRead_PropertyCSS>("color: red \n}"), "color: red| \n}");
    EXPECT_EQ(recognise<KoDTDElementRead_PropertyCSS>("_a:b}"), "_a:b|}");
    EXPECT_EQ(recognise<KoDTDElementRead_PropertyCSS>("color: red"), "fail|color: red");
    EXPECT_EQ(recognise<KoDTDElementRead_PropertyCSS>("-webkit-x:1;"), "fail|-webkit-x:1;");
}
