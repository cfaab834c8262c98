#include "foundation/diagnostics.h"
#include "store/persistent_app_storage.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/exception.h"
#include "test_files.h"

using velko::store::ExpansionEnd;

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

KoXMLGenericElement* addElement(KoXMLGenericElement* parent, const std::string& name,
                                std::map<std::string, std::string> attributes = {}) {
    auto* element = parent->adoptChild(std::make_unique<KoXMLGenericElement>(name, true));
    for (const auto& [key, value] : attributes) element->setAttribute(key, value);
    return element;
}

KoXMLGenericElement* child(KoXMLGenericElement* parent, const std::string& name) {
    auto found = parent->find(name);
    return found->empty() ? nullptr : found->front();
}

} // namespace

TEST(KoPersistentAppStorage, SelectApplicationCreatesItsElement) {
    KoPersistentAppStorage store;
    EXPECT_FALSE(store.applicationSelected());
    store.selectApplication("velkotwodll");
    EXPECT_TRUE(store.applicationSelected());
    EXPECT_EQ(store.applicationName(), "velkotwodll");
    EXPECT_EQ(written(store.base()), "<velko>\n<velkotwodll />\n</velko>");

    std::map<std::string, std::string> options{{"stale", "1"}};
    store.readOptions(options);
    EXPECT_TRUE(options.empty());
    std::vector<std::string> names{"stale"};
    store.projectNames(names);
    EXPECT_TRUE(names.empty());

    // Selecting again, or another application, keeps what is there.
    store.selectApplication("velkotwodll");
    store.selectApplication("other");
    EXPECT_EQ(written(store.base()), "<velko>\n<velkotwodll />\n<other />\n</velko>");
}

TEST(KoPersistentAppStorage, ReadsNeedASelectedApplication) {
    KoPersistentAppStorage store;
    std::map<std::string, std::string> options;
    std::vector<std::string> names;
    EXPECT_EQ(messageOf([&] { store.readOptions(options); }), "no application selected");
    EXPECT_EQ(messageOf([&] { store.projectNames(names); }), "no application selected");
    EXPECT_EQ(messageOf([&] { store.registerProjects("p"); }), "no application selected");
}

TEST(KoPersistentAppStorage, SelectApplicationNeedsExactlyOneVelkoElement) {
    KoPersistentAppStorage store;
    addElement(store.base(), "velko");
    EXPECT_EQ(messageOf([&] { store.selectApplication("app"); }),
              "could not read the application config base 'velko'");
    EXPECT_FALSE(store.applicationSelected());
}

TEST(KoPersistentAppStorage, OptionsAndProjectNamesInDocumentOrder) {
    KoPersistentAppStorage store;
    store.selectApplication("app");
    KoXMLGenericElement* app = child(store.base(), "app");
    KoXMLGenericElement* options = addElement(app, "options");
    addElement(options, "option", {{"name", "port"}, {"value", "1"}});
    addElement(options, "option", {{"value", "no name"}});
    addElement(options, "option", {{"name", "host"}});
    addElement(options, "option", {{"name", "port"}, {"value", "2"}});
    KoXMLGenericElement* projects = addElement(app, "projects");
    addElement(projects, "project", {{"name", "zeta"}});
    addElement(projects, "project", {{"name", "alpha"}});
    addElement(projects, "project", {});

    std::map<std::string, std::string> read;
    store.readOptions(read);
    EXPECT_EQ(read, (std::map<std::string, std::string>{{"host", ""}, {"port", "2"}}));
    std::vector<std::string> names;
    store.projectNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", ""}));
}

TEST(KoPersistentAppStorage, FileNamesFollowTheSelectedApplication) {
    KoPersistentAppStorage store;
    store.selectApplication("velkotwodll");
    EXPECT_EQ(store.projectsDirectory(), "./velkotwodll_projects");
    std::string captured;
    const KoDiagnosticSink previous =
        setDiagnosticSink([&captured](std::string_view line) { captured.append(line).append("\n"); });
    store.reportProjectStorage();
    setDiagnosticSink(previous);
    EXPECT_EQ(captured, "projectstorage: ./velkotwodll_projects\n");

    testing::internal::CaptureStderr();
    store.saveApplication("velkotwodll");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "writing: ./velkotwodll.xml to disk is blocked!!\n");

    KoPersistentAppStorageSettings settings;
    settings.baseDirectory = "/srv/data";
    KoPersistentAppStorage placed(settings);
    placed.selectApplication("a");
    EXPECT_EQ(placed.projectsDirectory(), "/srv/data/a_projects");
}

TEST(KoPersistentAppStorage, VariableMapAndNumbers) {
    KoPersistentAppStorage store;
    EXPECT_TRUE(store.variableMap().empty());
    store.setVariables({{"n", "42"}, {"neg", " -7"}, {"plus", "+5"}, {"text", "abc"},
                        {"big", "4294967296"}, {"trail", "12px"}});
    EXPECT_EQ(store.variableMap().size(), 6u);
    EXPECT_EQ(store.variableNumber("n"), 42);
    EXPECT_EQ(store.variableNumber("neg"), -7);
    EXPECT_EQ(store.variableNumber("plus"), 5);
    EXPECT_EQ(store.variableNumber("trail"), 12);
    EXPECT_EQ(store.variableNumber("text"), 0);
    EXPECT_EQ(store.variableNumber("big"), 0);
    EXPECT_EQ(store.variableNumber("absent"), 0);
    // setVariables replaces the whole map.
    store.setVariables({{"only", "1"}});
    EXPECT_EQ(store.variableMap(), (KoPersistentAppStorage::VariableMap{{"only", "1"}}));
}

TEST(KoPersistentAppStorage, ExpandTemplateWithTemplateValues) {
    KoPersistentAppStorage store;
    std::string text = "no markers here";
    EXPECT_EQ(store.expandTemplate(text, ""), ExpansionEnd::complete);
    EXPECT_EQ(text, "no markers here");
    text = "open [[x and never closed";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "open [[x and never closed");

    store.setTemplateValue("x", "1");
    text = "a[[x]]b";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "a1b");
    text = "a[[y]]b";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "ab");

    store.setTemplateValue("x", "[[y]]!");
    store.setTemplateValue("y", "Y");
    text = "[[x]]";
    store.expandTemplate(text, "no such project");
    EXPECT_EQ(text, "Y!");

    store.removeTemplateValue("x");
    store.removeTemplateValue("never set");
    text = "a[[x]]b";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "ab");
}

TEST(KoPersistentAppStorage, ExpandTemplateRunsCommands) {
    KoPersistentAppStorage store;
    std::string text = "<style>[[!linearanimation(.s, 9s, infinite, 3, opacity:1, opacity:0, 2)]]</style>";
    store.expandTemplate(text, "");
    EXPECT_EQ(text.rfind("<style>.s0 {\n", 0), 0u);
    EXPECT_NE(text.find("@keyframes s1 {\n0% {\n  opacity:0\n}\n31.3333% {\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 11), "}\n\n</style>");

    text = "[[!linearanimation(.s, 9s, infinite, x, a, b, 2)]]";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "/* error */\n");
    // A template value named like a command is not consulted.
    store.setTemplateValue("!nothing()", "value");
    text = "[[!nothing()]]";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "");
}

TEST(KoPersistentAppStorage, SelfReproducingTemplateValueTerminates) {
    KoPersistentAppStorageSettings settings;
    settings.templateLimits.maxDepth = 3;
    KoPersistentAppStorage store(settings);
    store.setTemplateValue("loop", "+[[loop]]");
    std::string text = "<[[loop]]>";
    EXPECT_EQ(store.expandTemplate(text, ""), ExpansionEnd::depthLimit);
    EXPECT_EQ(text, "<+++[[loop]]>");

    KoPersistentAppStorage defaults;
    defaults.setTemplateValue("fork", "[[fork]][[fork]]");
    text = "[[fork]]";
    EXPECT_NE(defaults.expandTemplate(text, ""), ExpansionEnd::complete);
    EXPECT_NE(text.find("[[fork]]"), std::string::npos);
}

TEST(KoPersistentAppStorage, UnknownProjectsAreRefused) {
    KoPersistentAppStorage store;
    EXPECT_EQ(messageOf([&] { store.openProject("p", "h"); }), "project pnot found");
    EXPECT_EQ(messageOf([&] { store.reopenProject("p", "h"); }), "project pnot found");
    // Closing what is not open changes nothing.
    store.closeProject("p", "h");
}
