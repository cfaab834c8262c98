#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/exception.h"
#include "xml/xml_bool_ko_attribute.h"
#include "xml/xml_comment.h"
#include "xml/xml_complex_element.h"
#include "xml/xml_declaration.h"
#include "xml/xml_document.h"
#include "xml/xml_double_ko_attribute.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"
#include "xml/xml_proc_inst.h"
#include "xml/xml_string_ko_attribute.h"

namespace {

std::string written(KoXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

// Counts the writer hooks so their placement is visible in the output.
class HookedElement : public KoXMLGenericElement {
public:
    using KoXMLGenericElement::KoXMLGenericElement;
    void beforeWrite(std::ostream& out) override { out << "{B}"; }
    void afterStartTag(std::ostream& out) override { out << "{A}"; }
    void beforeEndTag(std::ostream& out) override { out << "{E}"; }
};

}  // namespace

TEST(KoXMLGenericElement, WritesAChildlessElementInShortForm) {
    KoXMLGenericElement a("a", true);
    EXPECT_EQ(written(a), "<a />");
    // Unset typed attributes are left out altogether.
    KoXMLStringKoAttribute unset;
    a.attachProxy("id", &unset);
    a.attachAttribute("n", std::make_unique<KoXMLDoubleKoAttribute>());
    EXPECT_EQ(written(a), "<a />");
    // Not closing empty: start tag directly followed by the end tag.
    a.setClosesEmpty(false);
    EXPECT_EQ(written(a), "<a></a>");
}

TEST(KoXMLGenericElement, WritesAttributesInNameOrder) {
    KoXMLGenericElement a("a", true);
    a.setAttribute("z", "last");
    a.setAttribute("b", "x<y&\"q\"");  // no escaping
    a.setBareAttribute("disabled");
    auto flag = std::make_unique<KoXMLBoolKoAttribute>();
    flag->set(true);
    a.attachAttribute("c", std::move(flag));
    KoXMLStringKoAttribute empty;
    empty.assign("");
    a.attachProxy("e", &empty);
    EXPECT_EQ(written(a), "<a b=\"x<y&\"q\"\" c=\"true\" disabled e=\"\" z=\"last\" />");
}

TEST(KoXMLGenericElement, LeafIgnoresClosesEmpty) {
    KoXMLGenericElement a("br", true);
    a.setAttribute("k", "v");
    a.setLeaf(true);
    a.setClosesEmpty(false);
    EXPECT_EQ(written(a), "<br k=\"v\" />");
}

TEST(KoXMLGenericElement, KeepsATextChildOnOneLine) {
    KoXMLGenericElement a("a", true);
    a.addChild(new KoXMLGenericText("hello"));
    EXPECT_EQ(written(a), "<a>hello</a>");
}

TEST(KoXMLGenericElement, PutsAnElementChildOnALineOfItsOwn) {
    KoXMLGenericElement a("a", true);
    a.addChild(new KoXMLGenericElement("b", true));
    EXPECT_EQ(written(a), "<a>\n<b />\n</a>");
    a.addChild(new KoXMLGenericElement("c", true));
    EXPECT_EQ(written(a), "<a>\n<b />\n<c />\n</a>");
}

TEST(KoXMLGenericElement, BreaksLinesOnlyBetweenBreakingSiblings) {
    KoXMLGenericElement a("a", true);
    a.addChild(new KoXMLGenericText("t1"));
    a.addChild(new KoXMLGenericText("t2"));
    a.addChild(new KoXMLGenericElement("b", true));
    EXPECT_EQ(written(a), "<a>t1t2<b />\n</a>");

    KoXMLGenericElement m("m", true);
    m.addChild(new KoXMLGenericElement("b", true));
    m.addChild(new KoXMLGenericText("t"));
    m.addChild(new KoXMLGenericElement("c", true));
    m.addChild(new KoXMLGenericElement("d", false));
    m.addChild(new KoXMLGenericElement("e", true));
    // b breaks (first); t never; c follows text; d does not break; e follows d.
    EXPECT_EQ(written(m), "<m>\n<b />t<c /><d /><e />\n</m>");
}

TEST(KoXMLGenericElement, NestsWithoutIndentation) {
    KoXMLGenericElement root("root", true);
    auto* item = static_cast<KoXMLGenericElement*>(root.addChild(new KoXMLGenericElement("item", true)));
    item->setAttribute("name", "port");
    item->addChild(new KoXMLGenericElement("value", true))->addChild(new KoXMLGenericText("8080"));
    EXPECT_EQ(written(root), "<root>\n<item name=\"port\">\n<value>8080</value>\n</item>\n</root>");
}

TEST(KoXMLGenericElement, CallsWriterHooksInPlace) {
    HookedElement a("a", true);
    EXPECT_EQ(written(a), "{B}<a />");
    a.addChild(new KoXMLGenericText("x"));
    EXPECT_EQ(written(a), "{B}<a>{A}x{E}</a>");
    a.addChild(new HookedElement("b", true));
    EXPECT_EQ(written(a), "{B}<a>{A}x{B}<b />{E}\n</a>");
}

TEST(KoXMLComplexElement, WritesWithoutAttributesOrLineBreaks) {
    KoXMLComplexElement leaf("leaf", true, false);
    EXPECT_TRUE(leaf.closesEmpty());
    EXPECT_EQ(written(leaf), "<leaf />");
    KoXMLComplexElement open("p", false, false);
    EXPECT_EQ(written(open), "<p></p>");
    KoXMLComplexElement list("l", false, true);
    EXPECT_EQ(written(list), "<l />");
    list.addChild(new KoXMLGenericElement("b", true));
    list.addChild(new KoXMLGenericText("t"));
    EXPECT_EQ(written(list), "<l><b />t</l>");
}

TEST(KoXML_Document2, WritesItsChildrenOnly) {
    KoXML_Document2 document;
    EXPECT_EQ(document.name(), "xmldocument");
    EXPECT_FALSE(document.lineBreak());
    EXPECT_EQ(written(document), "");
    document.addChild(new KoXML_Declaration2("version=\"1.0\" encoding=\"UTF-8\""));
    document.addChild(new KoXMLGenericWhitespace("\n"));
    document.addChild(new KoXML_Comment2(" c "));
    auto* root = document.addChild(new KoXMLGenericElement("velko", true));
    root->addChild(new KoXMLGenericElement("project", true));
    document.addChild(new KoXML_ProcInst2("php echo 1;"));
    EXPECT_EQ(written(document),
              "<?version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c --><velko>\n<project />\n</velko>"
              "<?php echo 1;?>");
}

TEST(KoXMLGenericText, TextLikeNodesWriteTheirBodiesAsStored) {
    const std::pair<std::unique_ptr<KoXMLGenericElement>, const char*> rows[] = {
        {std::make_unique<KoXMLGenericText>("a<b>&c"), "a<b>&c"},
        {std::make_unique<KoXMLGenericWhitespace>(" \t\n"), " \t\n"},
        {std::make_unique<KoXML_Comment2>("--x"), "<!----x-->"},
        {std::make_unique<KoXML_ProcInst2>("xml-stylesheet"), "<?xml-stylesheet?>"},
        {std::make_unique<KoXML_Declaration2>(""), "<?" "?>"},
    };
    for (const auto& [node, text] : rows) {
        EXPECT_EQ(written(*node), text);
        EXPECT_FALSE(node->lineBreak());
    }
}

namespace {

// A chain of nested elements, levels deep below root.
KoXMLComplexElement* chain(KoXMLComplexElement& root, int levels) {
    KoXMLComplexElement* tip = &root;
    for (int i = 0; i < levels; ++i) tip = tip->addChild(new KoXMLGenericElement("d", false));
    return tip;
}

}  // namespace

// Writing recursed once per level and overflowed the stack on hostile depth.
TEST(KoXMLGenericElement, RefusesToWriteTreesNestedTooDeeply) {
    KoXMLGenericElement ok("d", false);
    chain(ok, KoXMLComplexElement::kMaxNesting);
    const std::string text = written(ok);
    // "<d>" and "</d>" per enclosing level around the innermost "<d />".
    EXPECT_EQ(text.size(), 7u * KoXMLComplexElement::kMaxNesting + 5u);
    EXPECT_EQ(text.substr(3u * KoXMLComplexElement::kMaxNesting, 9), "<d /></d>");

    KoXMLGenericElement tooDeep("d", false);
    chain(tooDeep, KoXMLComplexElement::kMaxNesting + 1);
    EXPECT_THROW(written(tooDeep), KoException);
    std::ostringstream sink;
    EXPECT_THROW(tooDeep.propagate(sink), KoException);
    KoXML_Document2 document;
    chain(document, KoXMLComplexElement::kMaxNesting + 1);
    EXPECT_THROW(written(document), KoException);
    // The failed attempts left the depth count balanced.
    EXPECT_EQ(written(ok), text);
}
