#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/exception.h"
#include "xml/xml_comment.h"
#include "xml/xml_complex_element.h"
#include "xml/xml_document.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"
#include "xml/xml_proc_inst.h"

namespace {

KoXMLGenericElement* add(KoXMLGenericElement* parent, const std::string& name,
                         const std::string& id = "") {
    auto* child = new KoXMLGenericElement(name, true);
    if (!id.empty()) child->setAttribute("id", id);
    parent->addChild(child);
    return child;
}

// The ids of the elements, to compare results at a glance.
std::vector<std::string> ids(const KoXMLGenericElementList& list) {
    std::vector<std::string> out;
    for (KoXMLGenericElement* element : list) out.push_back(element->attributeText("id", "?"));
    return out;
}

std::vector<std::string> found(KoXMLGenericElement& root, const std::string& path) {
    return ids(*root.find(path));
}

using Ids = std::vector<std::string>;

// <options id=root>
//   <option id=o1 name="port"><value id=v1/><value id=v2/></option>
//   <option id=o2 name="host"><value id=v3/></option>
//   <option id=o3 name="port" flag><value id=v4/></option>
//   <other id=x1><option id=deep name="port"/></other>
// </options>
class FindTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.setAttribute("id", "root");
        auto* o1 = add(&root, "option", "o1");
        o1->setAttribute("name", "port");
        add(o1, "value", "v1");
        add(o1, "value", "v2");
        auto* o2 = add(&root, "option", "o2");
        o2->setAttribute("name", "host");
        add(o2, "value", "v3");
        auto* o3 = add(&root, "option", "o3");
        o3->setAttribute("name", "port");
        o3->setBareAttribute("flag");
        add(o3, "value", "v4");
        auto* other = add(&root, "other", "x1");
        add(other, "option", "deep")->setAttribute("name", "port");
    }
    KoXMLGenericElement root{"options", true};
};

}  // namespace

TEST_F(FindTest, PlainNameMatchesSelfAndDirectChildren) {
    EXPECT_EQ(found(root, "option"), (Ids{"o1", "o2", "o3"}));
    EXPECT_EQ(found(root, "options"), (Ids{"root"}));
    EXPECT_EQ(found(root, "value"), Ids{});
    EXPECT_EQ(found(root, ""), Ids{});
}

TEST_F(FindTest, DottedPathsDescendOneLevelPerStep) {
    EXPECT_EQ(found(root, "options.option"), (Ids{"o1", "o2", "o3"}));
    EXPECT_EQ(found(root, "option.value"), (Ids{"v1", "v2", "v3", "v4"}));
    EXPECT_EQ(found(root, "options.option.value"), (Ids{"v1", "v2", "v3", "v4"}));
    EXPECT_EQ(found(root, "other.option"), (Ids{"deep"}));
    EXPECT_EQ(found(root, "option.missing"), Ids{});
    EXPECT_EQ(found(root, "option."), Ids{});
    // A leading dot asks for elements without a name.
    EXPECT_EQ(found(root, ".option"), Ids{});
}

TEST_F(FindTest, PredicatesFilterByAttribute) {
    EXPECT_EQ(found(root, "option[name=\"port\"]"), (Ids{"o1", "o3"}));
    EXPECT_EQ(found(root, "option[name=\"port\"].value"), (Ids{"v1", "v2", "v4"}));
    EXPECT_EQ(found(root, "option[name=host].value"), (Ids{"v3"}));
    EXPECT_EQ(found(root, "option[flag]"), (Ids{"o3"}));
    EXPECT_EQ(found(root, "option[id]"), (Ids{"o1", "o2", "o3"}));
    EXPECT_EQ(found(root, "option[name=\"none\"]"), Ids{});
    // An empty attribute name selects nothing.
    EXPECT_EQ(found(root, "option[]"), Ids{});
    EXPECT_EQ(found(root, "option[=\"port\"]"), Ids{});
    // An unterminated predicate still filters.
    EXPECT_EQ(found(root, "option[name=\"host"), (Ids{"o2"}));
}

TEST(KoXMLGenericElementFind, PredicateQuotingAndEscapes) {
    KoXMLGenericElement root("r", true);
    const std::pair<const char*, const char*> values[] = {
        {"a", "x]y"}, {"b", "p.q"}, {"c", "s\\t"}, {"d", "u=v"}, {"e", "w"},
    };
    for (const auto& [id, value] : values) add(&root, "n", id)->setAttribute("k", value);
    // A quoted ']' does not close the predicate, but it is dropped too.
    EXPECT_EQ(found(root, "n[k=\"x]y\"]"), Ids{});
    EXPECT_EQ(found(root, "n[k=\"w]\"]"), (Ids{"e"}));
    EXPECT_EQ(found(root, "n[k=\"p.q\"]"), (Ids{"b"}));
    // Inside quotes a doubled backslash stands for one.
    EXPECT_EQ(found(root, "n[k=\"s\\\\t\"]"), (Ids{"c"}));
    // '=' is never stored, not even quoted.
    EXPECT_EQ(found(root, "n[k=\"u=v\"]"), Ids{});
    EXPECT_EQ(found(root, "n[k=\"uv\"]"), Ids{});
    // Outside quotes a backslash is dropped.
    EXPECT_EQ(found(root, "n[k=\\w]"), (Ids{"e"}));
    // Inside quotes an escaped ']' is dropped rather than closing.
    EXPECT_EQ(found(root, "n[k=\"\\]w\"]"), (Ids{"e"}));
}

TEST(KoXMLGenericElementFind, PathFromOutsideTheNamedElement) {
    KoXMLGenericElement x("x", true);
    auto* a = add(&x, "a", "a1");
    add(a, "b", "b1");
    add(a, "c", "c1");
    add(a, "b", "b2");
    add(&x, "b", "direct");
    EXPECT_EQ(found(x, "a.b"), (Ids{"b1", "b2"}));
    EXPECT_EQ(found(*a, "a.b"), (Ids{"b1", "b2"}));
    EXPECT_EQ(found(x, "x.b"), (Ids{"direct"}));
}

TEST(KoXMLGenericElementFind, SkipsNodesThatAreNotGenericElements) {
    KoXMLGenericElement root("r", true);
    root.addChild(new KoXMLComplexElement("plain", false, true));
    add(&root, "plain", "g");
    EXPECT_EQ(found(root, "plain"), (Ids{"g"}));
    KoXMLElementList all;
    root.collectByName("plain", all, 1);
    EXPECT_EQ(all.size(), 2u);
}

// A path of many thousand steps is followed without recursion. (With one
// name on every level the matches multiply, as each element also matches
// itself, so the levels get names of their own.)
TEST(KoXMLGenericElementFind, FollowsVeryLongPaths) {
    KoXMLGenericElement root("n0", true);
    KoXMLGenericElement* tip = &root;
    std::string path = "n0";
    for (int i = 1; i <= 100000; ++i) {
        const std::string name = "n" + std::to_string(i);
        tip = add(tip, name);
        path += "." + name;
    }
    tip->setAttribute("id", "tip");
    EXPECT_EQ(found(root, path), (Ids{"tip"}));
}

TEST(KoXMLComplexElement, CollectByNameHonoursDepth) {
    KoXMLGenericElement root("t", true);
    root.setAttribute("id", "0");
    auto* a = add(&root, "t", "1");
    add(add(a, "t", "2"), "t", "3");
    add(&root, "t", "4");
    auto names = [&](int depth) {
        KoXMLGenericElementList list;
        root.collectElementsByName("t", list, depth);
        return ids(list);
    };
    EXPECT_EQ(names(0), (Ids{"0"}));
    EXPECT_EQ(names(1), (Ids{"0", "1", "4"}));
    EXPECT_EQ(names(2), (Ids{"0", "1", "2", "4"}));
    EXPECT_EQ(names(-1), (Ids{"0", "1", "2", "3", "4"}));
}

TEST(KoXMLComplexElement, ContentChildrenSkipInstructionsAndComments) {
    KoXMLGenericElement root("r", true);
    auto* comment = root.addChild(new KoXML_Comment2("c"));
    root.addChild(new KoXML_ProcInst2("p"));
    auto* text = root.addChild(new KoXMLGenericText("t"));
    auto* element = root.addChild(new KoXMLGenericElement("e", true));
    auto* space = root.addChild(new KoXMLGenericWhitespace(" "));
    EXPECT_EQ(root.firstContentChild(false), text);
    EXPECT_EQ(root.secondContentChild(false), element);
    EXPECT_EQ(root.thirdContentChild(false), space);
    EXPECT_EQ(root.firstContentChild(true), element);
    EXPECT_EQ(root.secondContentChild(true), space);
    EXPECT_EQ(root.thirdContentChild(true), nullptr);
    EXPECT_NE(comment, nullptr);
}

TEST(KoXMLGenericElement, CollectsByAttributeInPreOrder) {
    KoXMLGenericElement root("r", true);
    root.setAttribute("id", "r");
    root.setAttribute("k", "1");
    auto* a = add(&root, "a", "a");
    add(a, "b", "b")->setAttribute("k", "1");
    add(a, "c", "c")->setAttribute("k", "2");
    add(&root, "d", "d")->setBareAttribute("k");

    KoXMLGenericElementList with;
    root.collectWithAttribute(with, "k");
    EXPECT_EQ(ids(with), (Ids{"r", "b", "c", "d"}));

    KoXMLGenericElementList where;
    root.collectWhereAttribute("k", "1", where);
    EXPECT_EQ(ids(where), (Ids{"r", "b"}));

    EXPECT_EQ(root.findWhereAttribute("k", "2")->attributeText("id", ""), "c");
    EXPECT_EQ(root.findWhereAttribute("k", "3"), nullptr);

    KoXMLGenericElementList direct;
    root.addChild(new KoXMLGenericText("t"));
    root.elementChildren(direct);
    EXPECT_EQ(ids(direct), (Ids{"a", "d", "?"}));  // a text node is a generic element too
}
