#include "reader/markup_recognisers.h"

#include <gtest/gtest.h>

#include <sstream>

#include "foundation/exception.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader_test_support.h"

namespace {

// Runs one recogniser over input; left is what the next one would read.
struct Attempt {
    explicit Attempt(const std::string& input) : in(input), reader(in) {}
    bool run(KoDTDElementRead& recogniser) {
        reader_test::CerrCapture quiet;
        KoDTDElementRead* token = recogniser.read(reader);
        EXPECT_TRUE(token == nullptr || token == &recogniser);
        return token != nullptr;
    }
    std::string left() {
        std::string rest = reader.pendingText();
        for (int c = in.get(); c >= 0; c = in.get()) rest.push_back(static_cast<char>(c));
        return rest;
    }
    std::istringstream in;
    KoDTDElementReaderStream reader;
};

std::string incompleteTag(const std::string& input) {
    Attempt a(input);
    KoDTDElementRead_Element tag;
    try {
        a.run(tag);
    } catch (const KoException& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(KoDTDElementRead_Element, ReadsNameAttributesAndSelfClosing) {
    Attempt a("<a href='x' selected>rest");
    KoDTDElementRead_Element tag;
    ASSERT_TRUE(a.run(tag));
    EXPECT_EQ(tag.text, "a");
    EXPECT_FALSE(tag.selfClosed);
    EXPECT_FALSE(tag.isCloser());
    EXPECT_TRUE(tag.takesAttributes());
    ASSERT_EQ(a.reader.attributeRecords.size(), 2u);
    EXPECT_EQ(a.reader.attributeRecords[0].name, "href");
    EXPECT_EQ(a.reader.attributeRecords[0].value, "x");
    EXPECT_FALSE(a.reader.attributeRecords[0].valueless);
    EXPECT_EQ(a.reader.attributeRecords[1].name, "selected");
    EXPECT_TRUE(a.reader.attributeRecords[1].valueless);
    EXPECT_EQ(a.left(), "rest");

    for (const char* input : {"<br/>", "<br />", "<br\n/>"}) {
        Attempt b(input);
        KoDTDElementRead_Element br;
        ASSERT_TRUE(b.run(br)) << input;
        EXPECT_EQ(br.text, "br");
        EXPECT_TRUE(br.selfClosed) << input;
        EXPECT_TRUE(b.reader.attributeRecords.empty());
    }
}

TEST(KoDTDElementRead_Element, EndTagsCloseTheirElementOnly) {
    Attempt a("</div>");
    KoDTDElementRead_Element tag;
    ASSERT_TRUE(a.run(tag));
    EXPECT_EQ(tag.text, "/div");
    EXPECT_TRUE(tag.isCloser());
    EXPECT_TRUE(tag.closes("div"));
    EXPECT_FALSE(tag.closes("p"));
    EXPECT_FALSE(tag.closes("di"));
    KoDTDElementRead_Element empty;
    EXPECT_FALSE(empty.isCloser());
    EXPECT_FALSE(empty.closes(""));
}

TEST(KoDTDElementRead_Element, FailsAndHandsEverythingBack) {
    for (const char* input : {"x", "< a>", "<1>", "</>", "<a x = '1'>", "<a x=1>", "<a x='1>", "<a /x>",
                              "<", "<!-- -->"}) {
        Attempt a(input);
        KoDTDElementRead_Element tag;
        EXPECT_FALSE(a.run(tag)) << input;
        EXPECT_EQ(a.left(), input);
    }
}

TEST(KoDTDElementRead_Element, ThrowsForAnIncompleteTag) {
    EXPECT_EQ(incompleteTag("<a:b>"), "incomplete tag 'a'");
    EXPECT_EQ(incompleteTag("<a.b>"), "incomplete tag 'a'");
    EXPECT_EQ(incompleteTag("<a"), "incomplete tag 'a'");
    EXPECT_EQ(incompleteTag("</a b>"), "incomplete tag '/a'");
    EXPECT_EQ(incompleteTag("<a-1_b>"), "no exception");
}

TEST(KoDTDElementRead_Text, ReadsOneWord) {
    Attempt a("one two");
    KoDTDElementRead_Text text;
    ASSERT_TRUE(a.run(text));
    EXPECT_EQ(text.text, "one");
    EXPECT_EQ(a.left(), " two");
    Attempt b("&amp;<b>");
    ASSERT_TRUE(b.run(text));
    EXPECT_EQ(text.text, "&amp;");
    Attempt c("\v\f");
    ASSERT_TRUE(c.run(text));
    EXPECT_EQ(text.text, "\v\f");  // vertical tab and form feed are not white space
    for (const char* input : {"", " x", "<x"}) {
        Attempt d(input);
        EXPECT_FALSE(d.run(text)) << input;
        EXPECT_EQ(text.text, "");
    }
}

TEST(KoDTDElementRead_WhitespaceText, ReadsTheLongestRun) {
    Attempt a(" \t\r\n\nx");
    KoDTDElementRead_WhitespaceText white;
    ASSERT_TRUE(a.run(white));
    EXPECT_EQ(white.text, " \t\r\n\n");
    EXPECT_FALSE(a.run(white));
    EXPECT_EQ(white.text, "");
    EXPECT_EQ(a.left(), "x");
}

TEST(KoDTDElementRead_Comment, EndsAtTwoDashesAndGreaterThan) {
    KoDTDElementRead_Comment comment;
    Attempt a("<!---->x");
    ASSERT_TRUE(a.run(comment));
    EXPECT_EQ(comment.text, "");
    EXPECT_EQ(a.left(), "x");
    // Three dashes before ">" do not end it.
    Attempt b("<!-- a ---> b -->");
    ASSERT_TRUE(b.run(comment));
    EXPECT_EQ(comment.text, " a ---> b ");
    Attempt c("<!-- a - -- b-->");
    ASSERT_TRUE(c.run(comment));
    EXPECT_EQ(comment.text, " a - -- b");
    for (const char* input : {"<!-- a --->", "<!-x-->", "<!--", "<!- -->"}) {
        Attempt d(input);
        EXPECT_FALSE(d.run(comment)) << input;
        EXPECT_EQ(d.left(), input);
    }
}

TEST(KoDTDElementRead_ProcInst, ReadsUpToQuestionMarkAndGreaterThan) {
    KoDTDElementRead_ProcInst pi;
    Attempt a("<?xml version=\"1.0\"?><a/>");
    ASSERT_TRUE(a.run(pi));
    EXPECT_EQ(pi.text, "xml version=\"1.0\"");
    EXPECT_EQ(a.left(), "<a/>");
    Attempt b("<?a ? > ?>");
    ASSERT_TRUE(b.run(pi));
    EXPECT_EQ(pi.text, "a ? > ");
    for (const char* input : {"<?x", "<x?>", "<?x?"}) {
        Attempt c(input);
        EXPECT_FALSE(c.run(pi)) << input;
        EXPECT_EQ(c.left(), input);
    }
}

TEST(KoDTDElementRead_Doctype, MatchesTheExactPattern) {
    KoDTDElementRead_Doctype doctype;
    Attempt a("<!DOCTYPE html>\n<html>");
    ASSERT_TRUE(a.run(doctype));
    EXPECT_EQ(doctype.text, "html");
    EXPECT_EQ(a.left(), "<html>");
    Attempt b("<!DOCTYPE html PUBLIC \"x\">  <html>");
    ASSERT_TRUE(b.run(doctype));
    EXPECT_EQ(doctype.text, "html PUBLIC \"x\"");
    EXPECT_EQ(b.left(), "  <html>");
    for (const char* input : {"<!doctype html>", "<!DOCTYPE  html", "<!DOCTYPEhtml>", "<!DOCTYPE html"}) {
        Attempt c(input);
        EXPECT_FALSE(c.run(doctype)) << input;
        EXPECT_EQ(c.left(), input);
    }
    KoDTDElementRead_Doctype probe;
    EXPECT_TRUE(probe.matchesPattern('<'));
    EXPECT_FALSE(probe.matchesPattern('!'));
    EXPECT_FALSE(probe.matchesPattern(-1));
    auto copy = doctype.clone();
    EXPECT_EQ(copy->typeName, "htmldoctype");
    EXPECT_EQ(copy->text, "");
}
