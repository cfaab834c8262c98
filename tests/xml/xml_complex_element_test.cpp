#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/exception.h"
#include "xml/xml_complex_element.h"
#include "xml/xml_element_observer.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_generic_text.h"

namespace {

// Records every element whose destruction it is told about.
class DeathLog : public KoXMLElementObserver {
public:
    void elementDestroying(KoXMLComplexElement* element) override { names.push_back(element->name()); }
    std::vector<std::string> names;
};

// Records the editing hooks.
class HookLog : public KoXMLGenericElement {
public:
    using KoXMLGenericElement::KoXMLGenericElement;
    void childAdded(KoXMLComplexElement* child) override { log += "+" + child->name(); }
    void childRemoving(KoXMLComplexElement* child) override { log += "-" + child->name(); }
    std::string log;
};

using Names = std::vector<std::string>;

KoXMLGenericElement* observed(DeathLog& log, const std::string& name) {
    auto* element = new KoXMLGenericElement(name, true);
    element->setObserver(&log);
    return element;
}

Names childNames(const KoXMLComplexElement& element) {
    Names names;
    for (KoXMLComplexElement* child : element.childNodes()) names.push_back(child->name());
    return names;
}

std::string written(KoXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

}  // namespace

TEST(KoXMLComplexElement, DeletingARootDeletesTheTreeInDocumentOrder) {
    DeathLog log;
    {
        std::unique_ptr<KoXMLGenericElement> root(observed(log, "root"));
        auto* a = root->addChild(observed(log, "a"));
        a->addChild(observed(log, "a1"))->addChild(observed(log, "a11"));
        a->addChild(observed(log, "a2"));
        root->addChild(observed(log, "b"));
    }
    EXPECT_EQ(log.names, (Names{"root", "a", "a1", "a11", "a2", "b"}));
}

// A tree far deeper than the stack could recurse is freed without a crash.
TEST(KoXMLComplexElement, DeletesAbsurdlyDeepTrees) {
    auto root = std::make_unique<KoXMLGenericElement>("d", true);
    KoXMLComplexElement* tip = root.get();
    for (int i = 0; i < 300000; ++i) tip = tip->addChild(new KoXMLGenericElement("d", true));
    KoXMLElementList all;
    root->collectByName("d", all, -1);
    EXPECT_EQ(all.size(), 300001u);
    root.reset();
}

TEST(KoXMLComplexElement, AddChildRefusesLeavesAndIgnoresNull) {
    KoXMLGenericElement parent("p", true);
    EXPECT_EQ(parent.addChild(nullptr), nullptr);
    EXPECT_TRUE(parent.childNodes().empty());

    KoXMLComplexElement leaf("img", true, false);
    auto child = std::make_unique<KoXMLGenericText>("x");
    try {
        leaf.addChild(child.get());
        ADD_FAILURE() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for img");
    }
    EXPECT_EQ(child->parent(), nullptr);
    EXPECT_THROW(leaf.addChild(nullptr), KoException);
}

TEST(KoXMLComplexElement, AdoptChildNeverLeaksOnRefusal) {
    KoXMLComplexElement leaf("img", true, false);
    EXPECT_THROW(leaf.adoptChild(std::make_unique<KoXMLGenericText>("x")), KoException);
    KoXMLGenericElement parent("p", true);
    KoXMLGenericText* text = parent.adoptChild(std::make_unique<KoXMLGenericText>("y"));
    EXPECT_EQ(text->parent(), &parent);
    EXPECT_EQ(written(parent), "<p>y</p>");
}

// A node in two child lists would be deleted twice; adding it elsewhere moves it.
TEST(KoXMLComplexElement, AddingANodeThatHasAParentMovesIt) {
    HookLog first("first", true);
    HookLog second("second", true);
    auto* node = first.addChild(new KoXMLGenericElement("n", true));
    second.addChild(node);
    EXPECT_TRUE(first.childNodes().empty());
    EXPECT_EQ(childNames(second), (Names{"n"}));
    EXPECT_EQ(node->parent(), &second);
    EXPECT_EQ(first.log, "+n-n");
    EXPECT_EQ(second.log, "+n");
    first.addChildFront(new KoXMLGenericElement("m", true));
    first.addChildFront(node);
    EXPECT_EQ(childNames(first), (Names{"n", "m"}));
}

TEST(KoXMLComplexElement, RefusesToMakeACycle) {
    KoXMLGenericElement root("root", true);
    auto* a = root.addChild(new KoXMLGenericElement("a", true));
    auto* b = a->addChild(new KoXMLGenericElement("b", true));
    EXPECT_THROW(b->addChild(&root), KoException);
    EXPECT_THROW(b->addChild(a), KoException);
    EXPECT_THROW(a->addChild(a), KoException);
    EXPECT_THROW(b->replaceChildren(a), KoException);
    EXPECT_FALSE(a->wrapChild(b, &root));
    EXPECT_EQ(a->parent(), &root);
    EXPECT_EQ(b->parent(), a);
    EXPECT_EQ(written(root), "<root>\n<a>\n<b />\n</a>\n</root>");
}

TEST(KoXMLComplexElement, ReplaceChildDeletesTheOldNode) {
    DeathLog log;
    HookLog parent("p", true);
    auto* a = parent.addChild(observed(log, "a"));
    parent.addChild(observed(log, "b"));
    auto* c = new KoXMLGenericElement("c", true);
    EXPECT_TRUE(parent.replaceChild(a, c));
    EXPECT_EQ(log.names, (Names{"a"}));
    EXPECT_EQ(childNames(parent), (Names{"c", "b"}));
    EXPECT_EQ(c->parent(), &parent);
    EXPECT_EQ(parent.log, "+a+b-a+c");

    KoXMLGenericElement stranger("s", true);
    auto unused = std::make_unique<KoXMLGenericElement>("u", true);
    EXPECT_FALSE(parent.replaceChild(&stranger, unused.get()));
    EXPECT_EQ(unused->parent(), nullptr);
    EXPECT_TRUE(parent.replaceChild(c, c));
    EXPECT_EQ(childNames(parent), (Names{"c", "b"}));
}

// A null replacement used to leave an empty slot that broke every later walk.
TEST(KoXMLComplexElement, ReplaceChildWithNullRemovesTheOldNode) {
    KoXMLGenericElement parent("p", true);
    auto* a = parent.addChild(new KoXMLGenericElement("a", true));
    parent.addChild(new KoXMLGenericElement("b", true));
    EXPECT_TRUE(parent.replaceChild(a, nullptr));
    EXPECT_EQ(childNames(parent), (Names{"b"}));
    KoXMLElementList all;
    EXPECT_NO_THROW(parent.collectByName("b", all, -1));
    EXPECT_EQ(written(parent), "<p>\n<b />\n</p>");
}

TEST(KoXMLComplexElement, WrapChildPutsTheOldNodeInsideTheNewOne) {
    HookLog parent("p", true);
    parent.addChild(new KoXMLGenericElement("a", true));
    auto* b = parent.addChild(new KoXMLGenericElement("b", true));
    parent.addChild(new KoXMLGenericElement("c", true));
    auto* wrapper = new HookLog("w", true);
    EXPECT_TRUE(parent.wrapChild(b, wrapper));
    EXPECT_EQ(childNames(parent), (Names{"a", "w", "c"}));
    EXPECT_EQ(b->parent(), wrapper);
    EXPECT_EQ(wrapper->parent(), &parent);
    EXPECT_EQ(parent.log, "+a+b+c-b+w");
    EXPECT_EQ(wrapper->log, "+b");

    // A leaf cannot wrap: the tree stays as it was and the caller keeps it.
    auto leaf = std::make_unique<KoXMLComplexElement>("leaf", true, false);
    EXPECT_THROW(parent.wrapChild(wrapper, leaf.get()), KoException);
    EXPECT_EQ(childNames(parent), (Names{"a", "w", "c"}));
    EXPECT_EQ(wrapper->parent(), &parent);

    KoXMLGenericElement stranger("s", true);
    EXPECT_FALSE(parent.wrapChild(&stranger, leaf.get()));
    EXPECT_FALSE(parent.wrapChild(wrapper, nullptr));
    EXPECT_FALSE(parent.wrapChild(wrapper, wrapper));
}

TEST(KoXMLComplexElement, ReplaceAndDeleteChildren) {
    DeathLog log;
    HookLog parent("p", true);
    parent.addChild(observed(log, "a"));
    auto* keep = parent.addChild(observed(log, "keep"));
    parent.addChild(observed(log, "c"));
    // The new child may be one of the old ones; it survives.
    EXPECT_EQ(parent.replaceChildren(keep), keep);
    EXPECT_EQ(log.names, (Names{"a", "c"}));
    EXPECT_EQ(childNames(parent), (Names{"keep"}));
    parent.addChild(observed(log, "d"));
    parent.deleteChildren();
    EXPECT_EQ(log.names, (Names{"a", "c", "keep", "d"}));
    EXPECT_TRUE(parent.childNodes().empty());
    EXPECT_EQ(parent.log, "+a+keep+c-keep-a-c+keep+d-keep-d");
}

TEST(KoXMLGenericElement, ReplaceByAttributeSearchesDirectChildrenFirst) {
    DeathLog log;
    KoXMLGenericElement root("root", true);
    auto* inner = static_cast<KoXMLGenericElement*>(root.addChild(new KoXMLGenericElement("inner", true)));
    auto* deep = inner->addChild(observed(log, "deep"));
    static_cast<KoXMLGenericElement*>(deep)->setAttribute("id", "x");
    auto* direct = root.addChild(observed(log, "direct"));
    static_cast<KoXMLGenericElement*>(direct)->setAttribute("id", "x");

    auto* first = new KoXMLGenericElement("first", true);
    EXPECT_TRUE(root.replaceByAttribute(first, "id", "x"));
    EXPECT_EQ(log.names, (Names{"direct"}));
    EXPECT_EQ(childNames(root), (Names{"inner", "first"}));
    EXPECT_EQ(first->attributeText("id", ""), "x");

    // Now "first" matches directly again; make it unique to reach the deep one.
    first->setAttribute("id", "y");
    auto* second = new KoXMLGenericElement("second", true);
    EXPECT_TRUE(root.replaceByAttribute(second, "id", "x"));
    EXPECT_EQ(log.names, (Names{"direct", "deep"}));
    EXPECT_EQ(childNames(*inner), (Names{"second"}));
    EXPECT_EQ(second->parent(), inner);

    auto none = std::make_unique<KoXMLGenericElement>("none", true);
    EXPECT_FALSE(root.replaceByAttribute(none.get(), "id", "z"));
    EXPECT_FALSE(root.replaceByAttribute(nullptr, "id", "x"));
    EXPECT_FALSE(KoXMLComplexElement("c", false, true).replaceByAttribute(none.get(), "id", "y"));
}

TEST(KoXMLGenericElement, ReplaceOrAddAppendsWhenNothingMatches) {
    KoXMLGenericElement root("root", true);
    root.addChild(new KoXMLGenericElement("a", true));
    auto* added = new KoXMLGenericElement("new", true);
    EXPECT_FALSE(root.replaceOrAdd(added, "id", "q"));
    EXPECT_EQ(childNames(root), (Names{"a", "new"}));
    EXPECT_EQ(added->attributeText("id", ""), "q");
    auto* again = new KoXMLGenericElement("again", true);
    EXPECT_TRUE(root.replaceOrAdd(again, "id", "q"));
    EXPECT_EQ(childNames(root), (Names{"a", "again"}));
    EXPECT_FALSE(root.replaceOrAdd(nullptr, "id", "q"));
}

TEST(KoXMLGenericElement, RemoveChildWhereAttributeTakesTheFirstDirectMatch) {
    DeathLog log;
    KoXMLGenericElement root("root", true);
    auto* a = static_cast<KoXMLGenericElement*>(root.addChild(new KoXMLGenericElement("a", true)));
    a->addChild(observed(log, "deep"));
    static_cast<KoXMLGenericElement*>(a->childNodes().front())->setAttribute("k", "v");
    for (const char* name : {"m1", "m2"}) {
        root.addChild(observed(log, name));
        static_cast<KoXMLGenericElement*>(root.childNodes().back())->setAttribute("k", "v");
    }
    root.removeChildWhereAttribute("k", "v");
    EXPECT_EQ(log.names, (Names{"m1"}));
    EXPECT_EQ(childNames(root), (Names{"a", "m2"}));
    root.removeChildWhereAttribute("k", "none");
    EXPECT_EQ(childNames(root), (Names{"a", "m2"}));
}

TEST(KoXMLComplexElement, FlagsGrammarAndPropagation) {
    KoXMLComplexElement leaf("l", true, false);
    EXPECT_TRUE(leaf.isLeaf());
    EXPECT_TRUE(leaf.closesEmpty());
    EXPECT_FALSE(leaf.lineBreak());
    EXPECT_FALSE(leaf.isText());

    KoXMLGenericElement e("e", true);
    EXPECT_TRUE(e.lineBreak());
    EXPECT_EQ(e.contentDTD(""), "");
    EXPECT_EQ(e.contentDTD("css"), "css");
    EXPECT_EQ(e.contentDTD(""), "css");

    // Base propagation only passes the stream down; nothing is written.
    e.addChild(new KoXMLGenericText("t"));
    std::ostringstream out;
    e.propagate(out);
    EXPECT_EQ(out.str(), "");
    KoXMLElementList list{nullptr};
    e.children(list);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(list.back(), e.childNodes().front());
}

TEST(KoXMLComplexElement, DetachChildHandsOwnershipBack) {
    HookLog parent("p", true);
    auto* a = parent.addChild(new KoXMLGenericElement("a", true));
    std::unique_ptr<KoXMLComplexElement> taken = parent.detachChild(a);
    EXPECT_EQ(taken.get(), a);
    EXPECT_EQ(taken->parent(), nullptr);
    EXPECT_TRUE(parent.childNodes().empty());
    EXPECT_EQ(parent.log, "+a-a");
    EXPECT_EQ(parent.detachChild(a), nullptr);
}
