#include "html/html_document.h"
#include "html/html_error_msg404.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "foundation/text_utils.h"
#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_property.h"
#include "html/css_rule.h"
#include "html/html_doctype.h"
#include "html/html_custom_elements.h"
#include "html/html_elements.h"
#include "html/html_text.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"

namespace {

std::string markupOf(KoXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

}  // namespace

TEST(KoHTML_ErrorMsg404, WritesThePageLineByLine) {
    KoHTML_ErrorMsg404 page(k404Title, k404BodyMarkup, k404LinkHref, k404LinkText);
    const std::string text = markupOf(page);
    const std::vector<std::string> expected = {
        "<!DOCTYPE html>",
        "<html>",
        "<head>",
        "<title>Error 404 - not found</title>",
        "</head>",
        "<body><h1>Error 404 - not found</h1>The requested page was not found or the project "
        "was timed out.<br />",
        "<a href=\"/\">Startseite</a>",
        "</body>",
        "</html>",
    };
    std::string joined;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        joined += (i == 0 ? "" : "\n") + expected[i];
    }
    // Line by line first, so a difference names its line.
    const std::vector<std::string> lines = splitText(text, "\n", false);
    ASSERT_EQ(lines.size(), expected.size()) << text;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
    }
    EXPECT_EQ(text, joined);
}

TEST(KoHTML_ErrorMsg404, PropagateCollectsTheBodyText) {
    KoHTML_ErrorMsg404 page(k404Title, k404BodyMarkup, k404LinkHref, k404LinkText);
    std::ostringstream out;
    page.body()->propagate(out);
    EXPECT_EQ(out.str(), std::string(k404BodyMarkup) + "Startseite");
}

TEST(KoHTML_Document2, EmptyDocumentWritesNothing) {
    KoHTML_Document2 doc;
    EXPECT_EQ(markupOf(doc), "");
    KoXMLGenericElement* html = doc.htmlRoot();
    ASSERT_NE(html, nullptr);
    EXPECT_EQ(html->name(), "html");
    EXPECT_NE(dynamic_cast<KoHTML_html2*>(html), nullptr);
    EXPECT_EQ(markupOf(doc), "<!DOCTYPE html>\n<html></html>");
    // Found again, not made again.
    EXPECT_EQ(doc.htmlRoot(), html);
    EXPECT_EQ(doc.childNodes().size(), 2u);
}

TEST(KoHTML_Document2, HeadGoesBeforeAnExistingBody) {
    KoHTML_Document2 doc;
    KoXMLGenericElement* body = doc.body();
    KoXMLGenericElement* head = doc.head();
    const auto& children = doc.htmlRoot()->childNodes();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0], head);
    EXPECT_EQ(children[1], body);
    EXPECT_EQ(doc.body(), body);
    EXPECT_EQ(doc.head(), head);
    EXPECT_EQ(markupOf(doc), "<!DOCTYPE html>\n<html>\n<head></head>\n<body></body>\n</html>");
}

TEST(KoHTML_Document2, FindsABodyAnywhereBelowHtml) {
    KoHTML_Document2 doc;
    KoXMLGenericElement* html = doc.htmlRoot();
    auto* wrapper = html->adoptChild(std::make_unique<KoHTML_div2>());
    auto* body = wrapper->adoptChild(std::make_unique<KoHTML_body2>());
    EXPECT_EQ(doc.body(), body);
    EXPECT_EQ(html->childNodes().size(), 1u);
}

TEST(KoHTML_Document2, AddToHeadAndBody) {
    KoHTML_Document2 doc;
    auto* script = new KoHTML_script2();
    EXPECT_EQ(doc.addToHead(script), script);
    auto* p = new KoHTML_p2();
    EXPECT_EQ(doc.addToBody(p), p);
    EXPECT_EQ(doc.addToBody(nullptr), nullptr);
    EXPECT_EQ(script->parent(), doc.head());
    EXPECT_EQ(p->parent(), doc.body());
    p->adoptChild(std::make_unique<KoHTML_text2>("a & <b>"));
    EXPECT_EQ(markupOf(doc),
              "<!DOCTYPE html>\n<html>\n<head>\n"
              "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>\n"
              "</head>\n<body>\n<p>a & <b></p>\n</body>\n</html>");
}

TEST(KoHTML_Document2, DoctypeIsKeptWhereverItIs) {
    KoHTML_Document2 doc;
    doc.adoptChild(std::make_unique<KoHTML_Doctype2>("html5"));
    doc.htmlRoot();
    EXPECT_EQ(markupOf(doc), "<!DOCTYPE html5>\n<html></html>");
}

TEST(KoHTML_text2, IsATextLeaf) {
    KoHTML_text2 text("a");
    text.appendText("b");
    EXPECT_EQ(text.name(), "xmltext");
    EXPECT_TRUE(text.isText());
    EXPECT_TRUE(text.isLeaf());
    EXPECT_FALSE(text.lineBreak());
    EXPECT_EQ(markupOf(text), "ab");
    KoHTML_text2 empty;
    EXPECT_EQ(markupOf(empty), "");
    try {
        text.adoptChild(std::make_unique<KoHTML_text2>("c"));
        FAIL();
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for xmltext");
    }
}

TEST(KoHTML_style2, TakesOnlyCSSChildren) {
    KoHTML_style2 style;
    style.adoptChild(std::make_unique<KoXMLGenericWhitespace>("\n"));
    auto* rule = style.adoptChild(std::make_unique<KoCSSRule>("p"));
    rule->adoptChild(std::make_unique<KoCSSProperty>("color:red", false));
    style.adoptChild(std::make_unique<KoXMLGenericText>("/* c */"));
    style.adoptChild(std::make_unique<KoCSSMediaQuery>("@media print"));
    style.adoptChild(std::make_unique<KoCSSHTMLComment>());
    EXPECT_EQ(markupOf(style),
              "<style type=\"text/css\">\np{color: red;}/* c */@media print{}<!---->"
              "</style>");

    // Refused, but already in the tree: the style element owns it.
    try {
        style.adoptChild(std::make_unique<KoHTML_p2>());
        FAIL() << "style took a p";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "must be an CSS element");
    }
    EXPECT_EQ(style.childNodes().back()->name(), "p");
    EXPECT_THROW(style.adoptChild(std::make_unique<KoCSSProperty>("a:b", false)), KoException);
}

// The reader keeps the white space between rules as white-space nodes;
// refusing them made every style sheet with a line break unreadable.
TEST(KoHTML_style2, TakesTheWhiteSpaceBetweenRules) {
    KoHTML_style2 style;
    style.adoptChild(std::make_unique<KoCSSRule>("p"));
    style.adoptChild(std::make_unique<KoXMLGenericWhitespace>("\n  "));
    style.adoptChild(std::make_unique<KoCSSRule>("q"));
    EXPECT_EQ(markupOf(style), "<style type=\"text/css\">p{}\n  q{}</style>");
}

TEST(KoHTML_style2, ContentIsReadAsCSS) {
    KoHTML_style2 style;
    EXPECT_EQ(style.contentDTD("html"), "css");
    EXPECT_EQ(style.contentDTD(""), "html");
    KoHTML_p2 p;
    EXPECT_EQ(p.contentDTD("html"), "html");
}

// Handing the document's own html element to addToBody would make a cycle;
// the element belongs to the tree and must be neither deleted nor moved.
TEST(KoHTML_Document2, AddToBodyRefusesACycleWithoutLosingTheTree) {
    KoHTML_Document2 doc;
    KoXMLGenericElement* html = doc.htmlRoot();
    EXPECT_THROW(doc.addToBody(html), KoException);
    EXPECT_EQ(doc.htmlRoot(), html);
    EXPECT_EQ(markupOf(doc), "<!DOCTYPE html>\n<html>\n<body></body>\n</html>");
}

// An element refused by the body is still the document's to free.
TEST(KoHTML_Document2, RefusedElementIsNotLeaked) {
    KoHTML_Document2 doc;
    auto leafBody = std::make_unique<KoXMLGenericElement>("body", true);
    leafBody->setLeaf(true);
    doc.htmlRoot()->adoptChild(std::move(leafBody));
    EXPECT_THROW(doc.addToBody(new KoHTML_p2()), KoException);
}
