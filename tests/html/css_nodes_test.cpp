#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_property.h"
#include "html/css_rule.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "foundation/exception.h"
#include "html/html_elements.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"

namespace {

std::string markupOf(KoXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

// Adds child and returns the message of the KoException it raised, or "".
std::string refusal(KoXMLComplexElement& parent, std::unique_ptr<KoXMLComplexElement> child) {
    try {
        parent.adoptChild(std::move(child));
    } catch (const KoException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(KoCSSProperty, BuildsFromANameOrADeclaration) {
    KoCSSProperty named(" width;\n", true);
    EXPECT_EQ(named.propertyName(), "width");
    EXPECT_TRUE(named.isEmpty());
    EXPECT_EQ(named.name(), "cssproperty");

    KoCSSProperty declared("  color :  red ;\n", false);
    EXPECT_EQ(declared.propertyName(), "color");
    EXPECT_EQ(declared.value(), "red");

    // Only the first colon splits.
    KoCSSProperty url("a:b:c", false);
    EXPECT_EQ(url.propertyName(), "a");
    EXPECT_EQ(url.value(), "b:c");
}

TEST(KoCSSProperty, RefusesMalformedText) {
    try {
        KoCSSProperty p("", true);
        FAIL();
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "CSS property must have a name");
    }
    EXPECT_THROW(KoCSSProperty(" ;\t", true), KoException);
    try {
        KoCSSProperty p("color red", false);
        FAIL();
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "CSS property not well formed (missing ':').");
    }
}

TEST(KoCSSProperty, WritesNothingWithoutAValue) {
    KoCSSProperty p("margin", true);
    EXPECT_EQ(markupOf(p), "");
    EXPECT_EQ(p.setValue("0 auto"), "0 auto");
    EXPECT_FALSE(p.isEmpty());
    EXPECT_EQ(markupOf(p), "margin: 0 auto;");
}

TEST(KoCSSProperty, TakesNoChildren) {
    KoCSSProperty p("a:b", false);
    EXPECT_EQ(refusal(p, std::make_unique<KoXMLGenericText>("x")), "no childs possible");
}

TEST(KoCSSRule, WritesSelectorAndBody) {
    KoCSSRule rule("p");
    rule.adoptChild(std::make_unique<KoCSSProperty>("color:red", false));
    EXPECT_EQ(markupOf(rule), "p{color: red;}");
    rule.adoptChild(std::make_unique<KoXMLGenericWhitespace>(" "));
    rule.adoptChild(std::make_unique<KoCSSProperty>("margin:0;", false));
    EXPECT_EQ(markupOf(rule), "p{color: red; margin: 0;}");
    EXPECT_EQ(rule.selector(), "p");
    EXPECT_EQ(rule.name(), "cssrule");
}

TEST(KoCSSRule, ChildRules) {
    KoCSSRule rule("p");
    EXPECT_EQ(refusal(rule, std::make_unique<KoXMLGenericText>("/* c */")), "");
    EXPECT_EQ(refusal(rule, std::make_unique<KoXMLGenericWhitespace>("\n")), "");
    EXPECT_EQ(refusal(rule, std::make_unique<KoCSSHTMLComment>()), "");
    EXPECT_EQ(refusal(rule, std::make_unique<KoCSSRule>("q")), "must be an CSS element");
    EXPECT_EQ(refusal(rule, std::make_unique<KoCSSMediaQuery>("@media x")),
              "must be an CSS element");
    EXPECT_EQ(refusal(rule, std::make_unique<KoHTML_p2>()), "must be an CSS element");
    // A refused child stays in the tree, owned by it.
    EXPECT_EQ(rule.childNodes().size(), 6u);
}

TEST(KoCSSRule, BodyIsReadWithTheRuleGrammar) {
    KoCSSRule rule("p");
    EXPECT_EQ(rule.contentDTD("css"), "cssRule");
    EXPECT_EQ(rule.contentDTD(""), "css");
}

TEST(KoCSSMediaQuery, WritesQueryAndRules) {
    KoCSSMediaQuery media("@media screen ");
    auto* rule = media.adoptChild(std::make_unique<KoCSSRule>("p "));
    rule->adoptChild(std::make_unique<KoCSSProperty>("color: red", false));
    EXPECT_EQ(markupOf(media), "@media screen {p {color: red;}}");
    EXPECT_EQ(refusal(media, std::make_unique<KoXMLGenericWhitespace>(" ")), "");
    EXPECT_EQ(refusal(media, std::make_unique<KoCSSHTMLComment>()), "");
    EXPECT_EQ(refusal(media, std::make_unique<KoCSSProperty>("a:b", false)),
              "must be an CSS element");
}

TEST(KoCSSHTMLComment, WrapsItsChildren) {
    KoCSSHTMLComment comment;
    comment.adoptChild(std::make_unique<KoXMLGenericWhitespace>("\n"));
    comment.adoptChild(std::make_unique<KoCSSRule>("p"));
    comment.adoptChild(std::make_unique<KoXMLGenericText>("/* x */"));
    EXPECT_EQ(markupOf(comment), "<!--\np{}/* x */-->");
    EXPECT_EQ(refusal(comment, std::make_unique<KoCSSProperty>("a:b", false)),
              "child must be text");
    EXPECT_EQ(refusal(comment, std::make_unique<KoHTML_p2>()), "child must be text");
}

// A style sheet wrapped in "<!--" and "-->" is read into the wrapper; refusing
// its rules made every such sheet unreadable.
TEST(KoCSSHTMLComment, TakesTheRulesOfAWrappedSheet) {
    KoCSSHTMLComment comment;
    EXPECT_EQ(refusal(comment, std::make_unique<KoCSSRule>("p")), "");
    EXPECT_EQ(refusal(comment, std::make_unique<KoCSSMediaQuery>("@media print")), "");
}
