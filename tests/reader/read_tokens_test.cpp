#include "reader/read_tokens.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader_test_support.h"
#include "xml/xml_generic_element.h"

using reader_test::readAll;
using reader_test::readStepwise;

namespace {

struct Sample {
    const char* what;
    std::string grammar;
    std::string input;
    std::string tree;
    std::string error;
};

// Every sample is read whole, split in two pieces at every offset, and token
// by token; all must build the same tree and raise the same error.
void checkSamples(const std::vector<Sample>& samples) {
    reader_test::CerrCapture quiet;
    for (const Sample& s : samples) {
        for (std::size_t split = 0; split <= s.input.size(); ++split) {
            const auto got = readAll(s.input, s.grammar, split);
            EXPECT_EQ(got.tree, s.tree) << s.what << " split at " << split;
            EXPECT_EQ(got.error, s.error) << s.what << " split at " << split;
        }
        const auto stepwise = readStepwise(s.input, s.grammar);
        EXPECT_EQ(stepwise.tree, s.tree) << s.what << " token by token";
        EXPECT_EQ(stepwise.error, s.error) << s.what << " token by token";
    }
}

}  // namespace

TEST(readTokens, BuildsXmlTrees) {
    checkSamples({
        {"empty input", "xml", "", "", ""},
        {"declaration, comment, root", "xml", "<?xml version=\"1.0\"?><!-- c --><root/>",
         "pi(xml version=\"1.0\")comment( c )root{}", ""},
        {"nesting", "xml", "<a><b>x</b></a>", "a{b{text(x)}}", ""},
        {"words and white space", "xml", "one two\n", "text(one)ws( )text(two)ws(\\n)", ""},
        {"self-closed with and without blank", "xml", "<a><br/><br /></a>", "a{br{}br{}}", ""},
        {"valueless attribute becomes true", "xml", "<a href='x' selected></a>",
         "a[href=x,selected=true]{}", ""},
        {"quotes kept as written", "xml", "<a t=\"it's > 1\n\" u='say \"hi\"'/>",
         "a[t=it's > 1\\n,u=say \"hi\"]{}", ""},
        {"entities are not decoded", "xml", "<a>&amp;&lt;</a>", "a{text(&amp;&lt;)}", ""},
        {"comment ends only at two dashes and >", "xml", "<!-- a ---> b -->",
         "comment( a ---> b )", ""},
        {"empty comment", "xml", "<!---->", "comment()", ""},
        {"instruction", "xml", "<?php echo 1; ?>", "pi(php echo 1; )", ""},
    });
}

TEST(readTokens, ReportsXmlErrorsWithTheLine) {
    checkSamples({
        {"wrong closing tag", "xml", "<a></b>", "a{}", "wrong closing tag '/b' instead '/a' around line 1"},
        {"closing tag at top level", "xml", "x\n</a>", "text(x)ws(\\n)",
         "wrong closing tag '/a' instead '/KoXMLContentSplitter::TOP' around line 2"},
        {"line of a later error", "xml", "<a>\n\n</b>", "a{ws(\\n\\n)}",
         "wrong closing tag '/b' instead '/a' around line 3"},
        {"blanks around equals", "xml", "<a x = '1'>", "", "reading error  around line 1"},
        {"colon in a tag name", "xml", "<a:b>", "", "incomplete tag 'a' around line 1"},
        {"tag name at the end", "xml", "<a", "", "incomplete tag 'a' around line 1"},
        {"end tag keeps its slash", "xml", "<a></a x>", "a{}", "incomplete tag '/a' around line 1"},
        {"lone less-than", "xml", "x < y", "text(x)ws( )", "reading error  around line 1"},
        {"unterminated comment", "xml", "<!-- x", "", "reading error  around line 1"},
        // The comment recogniser read two line feeds before it gave up; they
        // are counted again when handed out, so the line is past the error.
        {"line feeds given back count again", "xml", "<!--\n\nx", "", "reading error  around line 3"},
        {"unterminated instruction", "xml", "<?x", "", "reading error  around line 1"},
        {"unterminated attribute", "xml", "<a b='x>", "", "reading error  around line 1"},
    });
}

TEST(readTokens, BuildsHtmlElements) {
    checkSamples({
        {"doctype", "html", "<!DOCTYPE html>", "doctype(html)", ""},
        {"doctype takes its own line end", "html", "<!DOCTYPE html>\n<html></html>",
         "doctype(html)html{}", ""},
        {"lower-case doctype", "html", "<!doctype html>", "", "reading error  around line 1"},
        {"catalogue classes and defaults", "html", "<form></form>", "form[method=POST]{}", ""},
        {"unknown tag is generic", "html", "<blink>x</blink>", "blink{text(x)}", ""},
        {"valueless attribute", "html", "<p hidden></p>", "p[hidden=true]{}", ""},
        {"void element followed by text", "html", "<p>one<br>two</p>", "p{text(one)br{}text(two)}", ""},
        {"void element with its end tag", "html", "<p><br></br>x</p>", "p{br{}text(x)}", ""},
        {"void element before the parent's end", "html", "<p><img src='i'></p>", "p{img[src=i]{}}", ""},
        {"void element before a start tag", "html", "<p><hr><b>x</b></p>", "p{hr{}b{text(x)}}", ""},
        {"short form void element", "html", "<p><br />x</p>", "p{br{}text(x)}", ""},
        {"typed attribute refusing its value", "html", "<p>\n<progress value='abc'>",
         "p{ws(\\n)}", "element type 'xmlelement' not defined in DTD around line 2"},
        {"typed attribute accepting its value", "html", "<progress value='0.5'></progress>",
         "progress[value=0.5]{}", ""},
        {"xmlhtml keeps generic text", "xmlhtml", "<b>x</b>", "b{text(x)}", ""},
    });
}

TEST(readTokens, ReadsStyleSheetsInsideAStyleElement) {
    checkSamples({
        {"rule without semicolon", "html", "<style>p { color: red }</style>",
         "style[type=text/css]{rule(p ){ws( )prop(color=red)ws( )}}", ""},
        {"rule with semicolon", "html", "<style>p{color: red;}</style>",
         "style[type=text/css]{rule(p){prop(color=red)}}", ""},
        {"comment between rules", "html", "<style>a{}/* x */b{}</style>",
         "style[type=text/css]{rule(a){}text(/* x */)rule(b){}}", ""},
        {"media query holding a rule", "html", "<style>@media screen { p{a:b} }</style>",
         "style[type=text/css]{media(@media screen ){ws( )rule(p){prop(a=b)}ws( )}}", ""},
        {"html comment wrapper", "html", "<style><!--\np{a:b}\n--></style>",
         "style[type=text/css]{htmlcomment{ws(\\n)rule(p){prop(a=b)}ws(\\n)}}", ""},
        // After the first rule closed, the second was read as HTML text and
        // refused by the style element.
        {"several rules stay in the style sheet", "html", "<style>p{a:b} q{c:d}</style>",
         "style[type=text/css]{rule(p){prop(a=b)}ws( )rule(q){prop(c=d)}}", ""},
        {"back to html after the end tag", "html", "<head><style>p{}</style> <b>x y</b></head>",
         "head{style[type=text/css]{rule(p){}}ws( )b{text(x)ws( )text(y)}}", ""},
        {"unterminated comment", "html", "<style>/* x", "style[type=text/css]{}",
         "reading error  around line 1"},
        {"selector without brace", "html", "<style>\np", "style[type=text/css]{ws(\\n)}",
         "reading error  around line 2"},
        {"selector starting with a colon", "html", "<style>:hover{}</style>", "style[type=text/css]{}",
         "reading error  around line 1"},
        {"comment closer inside a rule", "html", "<style>p{-->}</style>",
         "style[type=text/css]{rule(p){}}", "reading error  around line 1"},
        {"declaration without colon", "html", "<style>p{color;}</style>",
         "style[type=text/css]{rule(p){}}",
         "CSS property not well formed (missing ':'). around line 1"},
        {"html element refused by the style element", "html", "<style><b></b></style>",
         "style[type=text/css]{b{}}", "must be an CSS element around line 1"},
    });
}

TEST(readTokens, ReadsAStyleSheetOnItsOwn) {
    checkSamples({
        {"declarations at sheet level", "css", "a:b;c:d}", "prop(a=b)prop(c=d)",
         "wrong closing tag '}' instead '/KoXMLContentSplitter::TOP' around line 1"},
        {"rule body grammar", "cssRule", "a: b; /*c*/ d:e", "prop(a=b)ws( )text(/*c*/)ws( )",
         "reading error  around line 1"},
    });
}

TEST(readTokens, RefusesAMissingTopOrGrammar) {
    std::istringstream in("<a/>");
    KoDTDElementReaderStream reader(in);
    KoXMLContentSplitter empty;
    empty.current = nullptr;
    try {
        readTokens(empty, reader, "xml", false);
        FAIL() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "missing topelement");
    }
    try {
        readTokens(reader.splitter, reader, "", false);
        FAIL() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "DTD can't be empty");
    }
    KoXMLContentSplitter other;
    try {
        readTokens(other, reader, "svg", false);
        FAIL() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "DTD 'svg' not defined around line 1");
    }
}

TEST(readTokens, RefusesAFailedStream) {
    std::istringstream in("<a/>");
    in.setstate(std::ios::badbit);
    KoDTDElementReaderStream reader(in);
    try {
        readTokens(reader.splitter, reader, "xml", false);
        FAIL() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "error in stream around line 1");
    }
}

TEST(readTokens, GoesOnWhereItStopped) {
    std::istringstream in("<a>x y</a>");
    KoDTDElementReaderStream reader(in);
    KoXMLGenericElement* top = readTokens(reader.splitter, reader, "xml", true);
    ASSERT_EQ(top, reader.splitter.top.get());
    EXPECT_EQ(reader_test::dumpChildren(top), "a{}");
    EXPECT_EQ(reader.splitter.current->name(), "a");
    // The grammar argument of a later call has no effect.
    readTokens(reader.splitter, reader, "css", true);
    EXPECT_EQ(reader_test::dumpChildren(top), "a{text(x)}");
    readTokens(reader.splitter, reader, "xml", false);
    EXPECT_EQ(reader_test::dumpChildren(top), "a{text(x)ws( )text(y)}");
    EXPECT_EQ(reader.splitter.current, top);
}

TEST(readTokens, CallsTheClosedHookOnceForEveryElement) {
    // Elements that record closed() calls in their text.
    struct Recording : KoXMLGenericElement {
        explicit Recording(const std::string& name, std::string& log)
            : KoXMLGenericElement(name, true), log_(log) {}
        void closed() override { log_ += name() + ";"; }
        std::string& log_;
    };
    std::string log;
    std::istringstream in("<a><b/><c></c><br>x</a>");
    KoDTDElementReaderStream reader(in);
    KoDTD* xml = reader.grammar("xml");
    ASSERT_NE(xml, nullptr);
    xml->voidElements.insert("br");
    xml->addFactory("xmlelement", [&log](const std::string& text, KoDTD&) {
        return std::unique_ptr<KoXMLComplexElement>(std::make_unique<Recording>(text, log));
    });
    readTokens(reader.splitter, reader, "xml", false);
    EXPECT_EQ(log, "b;c;br;a;");
}

namespace {

std::string errorOf(KoDTDElementReader& reader, const std::string& grammar) {
    try {
        readTokens(reader.splitter, reader, grammar, false);
    } catch (const KoException& e) {
        return e.what();
    }
    return "no exception";
}

// A recogniser that fails with something other than a KoException.
class Throwing : public KoDTDElementRead {
public:
    Throwing() : KoDTDElementRead("aaa_throwing") {}
    KoDTDElementRead* read(KoDTDElementReader&) override { throw std::runtime_error("boom"); }
    std::unique_ptr<KoDTDElementRead> clone() const override { return std::make_unique<Throwing>(); }
};

}  // namespace

TEST(readTokens, ReportsGrammarFaults) {
    {
        std::istringstream in("\nword");
        KoDTDElementReaderStream reader(in);
        reader.grammar("xml")->addFactory("xmltext", [](const std::string&, KoDTD&) {
            return std::unique_ptr<KoXMLComplexElement>();
        });
        EXPECT_EQ(errorOf(reader, "xml"), "problem in DTD with 'xmltext' around line 2");
    }
    {
        std::istringstream in("word");
        KoDTDElementReaderStream reader(in);
        reader.grammar("xml")->factories.erase("xmltext");
        EXPECT_EQ(errorOf(reader, "xml"), "element type 'xmltext' not defined in DTD around line 1");
    }
    {
        std::istringstream in("word");
        KoDTDElementReaderStream reader(in);
        reader.grammar("xml")->addFactory("xmltext", [](const std::string&, KoDTD&) -> std::unique_ptr<KoXMLComplexElement> {
            throw std::logic_error("factory failed");
        });
        EXPECT_EQ(errorOf(reader, "xml"), "element type 'xmltext' not defined in DTD around line 1");
    }
    {
        std::istringstream in("word");
        KoDTDElementReaderStream reader(in);
        reader.grammar("xml")->addReader(std::make_unique<Throwing>());
        EXPECT_EQ(errorOf(reader, "xml"), "catched an error while processing input");
    }
}

TEST(readTokens, SkipsExcludedRecognisers) {
    std::istringstream in("<a>x y</a>");
    KoDTDElementReaderStream reader(in);
    // While an element named a is current, words are not recognised.
    reader.grammar("xml")->setExclusions("a", {"xmltext"});
    EXPECT_EQ(errorOf(reader, "xml"), "reading error  around line 1");
    EXPECT_EQ(reader_test::dumpChildren(reader.splitter.top.get()), "a{}");
}
