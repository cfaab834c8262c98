#include "store/xml_database.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/exception.h"
#include "foundation/file_utils.h"
#include "test_files.h"

namespace {

template <class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const KoException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

} // namespace

TEST(KoXMLDatabase, FreshDatabaseHoldsDeclarationAndBase) {
    KoXMLDatabase db("velko");
    EXPECT_EQ(db.rootName(), "velko");
    ASSERT_NE(db.base(), nullptr);
    EXPECT_EQ(db.base()->name(), "velko");
    EXPECT_EQ(db.directory(), "");
    EXPECT_EQ(written(db.document()), "<?version=\"1.0\" encoding=\"UTF-8\"?><velko />");
}

TEST(KoXMLDatabase, SetValueCreatesElementsAndGetValueReadsThem) {
    KoXMLDatabase db("velko");
    db.setValue("options.port", "8080");
    EXPECT_EQ(db.getValue("options.port", "0"), "8080");
    EXPECT_EQ(written(db.base()), "<velko>\n<options port=\"8080\" />\n</velko>");

    // A second value goes to the same element; a set one is replaced.
    db.setValue("options.host", "::1");
    db.setValue("options.port", "9090");
    db.setValue("a.b.c.d", "deep");
    EXPECT_EQ(db.getValue("options.port", "0"), "9090");
    EXPECT_EQ(db.getValue("a.b.c.d", ""), "deep");
    EXPECT_EQ(written(db.base()),
              "<velko>\n<options host=\"::1\" port=\"9090\" />\n"
              "<a>\n<b>\n<c d=\"deep\" />\n</b>\n</a>\n</velko>");
    // Values are stored as given, without escaping.
    db.setValue("t.v", "<&\"'>");
    EXPECT_EQ(db.getValue("t.v", ""), "<&\"'>");
}

TEST(KoXMLDatabase, MissingPathsReadAsTheDefaultAndCreateNothing) {
    KoXMLDatabase db("velko");
    EXPECT_EQ(db.getValue("missing.attr", "d"), "d");
    db.setValue("options.port", "1");
    EXPECT_EQ(db.getValue("options.absent", "d"), "d");
    EXPECT_EQ(db.getValue("options.port.x", "d"), "d");
    EXPECT_EQ(written(db.base()), "<velko>\n<options port=\"1\" />\n</velko>");
}

TEST(KoXMLDatabase, PathsNameChildrenNeverTheElementItself) {
    // A part equal to the name of the element it starts from once resolved
    // to that element, so a.a.b wrote onto a instead of a's child a.
    KoXMLDatabase db("velko");
    db.setValue("a.a.b", "1");
    EXPECT_EQ(written(db.base()), "<velko>\n<a>\n<a b=\"1\" />\n</a>\n</velko>");
    EXPECT_EQ(db.getValue("a.b", "none"), "none");
    EXPECT_EQ(db.getValue("velko.x", "none"), "none");
}

TEST(KoXMLDatabase, AttributeNameWithEqualsSignIsKeptWhole) {
    // Built as a name="value" text, a name holding '=' was cut at it.
    KoXMLDatabase db("velko");
    db.setValue("e.k=v", "x");
    EXPECT_EQ(db.getValue("e.k=v", ""), "x");
    EXPECT_EQ(db.getValue("e.k", "absent"), "absent");
}

TEST(KoXMLDatabase, PathErrors) {
    KoXMLDatabase db("velko");
    EXPECT_EQ(messageOf([&] { db.setValue("port", "1"); }),
              "the element and attribute name can't be empty");
    EXPECT_EQ(messageOf([&] { db.getValue("port", ""); }),
              "the element and attribute name can't be empty");
    EXPECT_EQ(messageOf([&] { db.setValue("", "1"); }),
              "the element and attribute name can't be empty");
    // The last piece is dropped when empty, leaving one part.
    EXPECT_EQ(messageOf([&] { db.setValue("a.", "1"); }),
              "the element and attribute name can't be empty");
    KoXMLGenericElementList list;
    EXPECT_EQ(messageOf([&] { db.findElements("", list); }), "the element name can't be empty");
    EXPECT_EQ(messageOf([&] { db.findAllNamed("", list); }), "the base element must have a length");

    KoXMLDatabase rootless("");
    EXPECT_EQ(rootless.base(), nullptr);
    EXPECT_EQ(messageOf([&] { rootless.setValue("a.b", "1"); }),
              "the base element must have a length");
    EXPECT_EQ(messageOf([&] { rootless.getValueLocked("a.b", ""); }),
              "the base element must have a length");
    EXPECT_EQ(messageOf([&] { rootless.findElements("a", list); }),
              "the base element must have a length");
    EXPECT_EQ(messageOf([&] { rootless.findAllNamed("a", list); }),
              "the base element must have a length");
    EXPECT_EQ(written(rootless.document()), "<?version=\"1.0\" encoding=\"UTF-8\"?>");
    // A locked operation that threw released the lock.
    EXPECT_EQ(messageOf([&] { rootless.getOrInitValue("a.b", ""); }),
              "the base element must have a length");
}

TEST(KoXMLDatabase, GetOrInitValueStoresTheDefaultOnce) {
    KoXMLDatabase db("velko");
    EXPECT_EQ(db.getOrInitValue("a.b", "x"), "x");
    EXPECT_EQ(written(db.base()), "<velko>\n<a b=\"x\" />\n</velko>");
    EXPECT_EQ(db.getOrInitValue("a.b", "y"), "x");
    db.setValueLocked("a.b", "z");
    EXPECT_EQ(db.getValueLocked("a.b", ""), "z");
}

TEST(KoXMLDatabase, FindElementsAndFindAllNamed) {
    KoXMLDatabase db("velko");
    db.setValue("app.options.dummy", "");
    KoXMLGenericElement* options = db.base()->find("app.options")->front();
    ASSERT_NE(options, nullptr);
    for (const char* n : {"1", "2", "3"}) {
        auto* option = options->adoptChild(std::make_unique<KoXMLGenericElement>("option", true));
        option->setAttribute("n", n);
    }
    options->adoptChild(std::make_unique<KoXMLGenericElement>("other", true));
    db.setValue("app.option.n", "not below options");

    KoXMLGenericElementList list;
    db.findElements("app.options.option", list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.front()->attributeText("n", ""), "1");
    EXPECT_EQ(list.back()->attributeText("n", ""), "3");

    // A missing step leaves the list as it was.
    db.findElements("app.nothing.option", list);
    EXPECT_EQ(list.size(), 3u);
    // One part names base's children.
    KoXMLGenericElementList apps;
    db.findElements("app", apps);
    ASSERT_EQ(apps.size(), 1u);

    KoXMLGenericElementList all;
    db.findAllNamed("option", all);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all.front()->attributeText("n", ""), "1");
    EXPECT_EQ(all.back()->attributeText("n", ""), "not below options");
}

TEST(KoXMLDatabase, SaveOnlyReportsThatWritingIsBlocked) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    KoXMLDatabase db("velko");
    db.setValue("options.port", "8080");

    const std::string fresh = dir.file("fresh.xml");
    testing::internal::CaptureStderr();
    db.save(fresh);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "writing: " + fresh + " to disk is blocked!!\n");
    EXPECT_FALSE(fileStatus(fresh));

    const std::string existing = dir.write("existing.xml", "<velko old=\"1\" />");
    testing::internal::CaptureStderr();
    db.save(existing);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readWholeFile(existing), "<velko old=\"1\" />");
    // The lock was released: a locked operation still works.
    EXPECT_EQ(db.getValueLocked("options.port", ""), "8080");
}

TEST(KoXMLDatabase, StringVariablesOnABuiltTree) {
    KoXMLDatabase db("velko");
    EXPECT_EQ(db.stringVariable("v", "default"), "default");
    EXPECT_FALSE(db.hasStringVariable("v"));

    db.setValue("project.stringvariables.dummy", "");
    KoXMLGenericElement* vars = db.base()->find("project.stringvariables")->front();
    auto* first = vars->adoptChild(std::make_unique<KoXMLGenericElement>("stringvariable", true));
    first->setAttribute("name", "greeting");
    auto* bold = first->adoptChild(std::make_unique<KoXMLGenericElement>("b", true));
    bold->setAttribute("class", "x");
    auto* second = vars->adoptChild(std::make_unique<KoXMLGenericElement>("stringvariable", true));
    second->setAttribute("name", "greeting");
    auto* nameless = vars->adoptChild(std::make_unique<KoXMLGenericElement>("stringvariable", true));
    (void)nameless;

    EXPECT_TRUE(db.hasStringVariable("greeting"));
    // The first match wins; its children are written as stored.
    EXPECT_EQ(db.stringVariable("greeting", "d"), "<b class=\"x\" />");
    EXPECT_FALSE(db.hasStringVariable("Greeting"));
    EXPECT_FALSE(db.hasStringVariable(""));
    // A variable without content is the empty text, not the default.
    auto* empty = vars->adoptChild(std::make_unique<KoXMLGenericElement>("stringvariable", true));
    empty->setAttribute("name", "empty");
    EXPECT_EQ(db.stringVariable("empty", "d"), "");

    KoXMLDatabase rootless("");
    EXPECT_EQ(rootless.stringVariable("greeting", "d"), "d");
}

TEST(KoXMLDatabase, HoldersAreKeptAsASet) {
    KoXMLDatabase db("velko");
    db.holderSet().insert("b");
    db.holderSet().insert("a");
    db.holderSet().insert("b");
    EXPECT_EQ(db.holderSet(), (std::set<std::string>{"a", "b"}));
}
