#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "foundation/file_utils.h"
#include "store/persistent_app_storage.h"
#include "store/xml_database.h"
#include "test_files.h"

namespace {

// The diagnostic lines that action writes, each ended by a line break.
std::string DiagnosticsOf(const std::function<void()>& action) {
    std::string lines;
    const KoDiagnosticSink previous =
        setDiagnosticSink([&lines](std::string_view line) { lines.append(line).append("\n"); });
    action();
    setDiagnosticSink(previous);
    return lines;
}

const char* const kApplicationFile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- settings of the embedded server -->\n"
    "<velko>\n"
    "  <velkotwodll>\n"
    "    <options>\n"
    "      <option name=\"port\" value=\"8443\"/>\n"
    "      <option name=\"title\" value=\"Velko &amp; co\"/>\n"
    "      <option value=\"nameless\"/>\n"
    "    </options>\n"
    "    <projects>\n"
    "      <project name=\"demo\" projectpath=\"@DIR@/demo\"/>\n"
    "      <project name=\"broken\" projectpath=\"@DIR@/broken\"/>\n"
    "      <project name=\"nowhere\" projectpath=\"@DIR@/missing\"/>\n"
    "    </projects>\n"
    "  </velkotwodll>\n"
    "</velko>\n";

const char* const kProjectFile =
    "<?xml version=\"1.0\"?>\n"
    "<velko>\n"
    "<project>\n"
    "<stringvariables>\n"
    "<stringvariable name=\"title\">Demo <b>bold</b> title</stringvariable>\n"
    "<stringvariable name=\"nested\">[[inner]]</stringvariable>\n"
    "<stringvariable name=\"self\">s[[self]]</stringvariable>\n"
    "</stringvariables>\n"
    "</project>\n"
    "</velko>\n";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

template <class F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const KoException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

const KoXMLDatabase::CreateDefault kNoDefault = [](const std::string&) {};

// A scratch directory with the application file and two project folders.
class StoreFiles : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        settings.baseDirectory = dir.path();
        dir.write("velkotwodll.xml", replaceAll(kApplicationFile, "@DIR@", dir.path()));
        ASSERT_TRUE(ensureDirectory(dir.file("demo"), true));
        dir.write("demo/demo.xml", kProjectFile);
        ASSERT_TRUE(ensureDirectory(dir.file("broken"), true));
        dir.write("broken/broken.xml", "<velko><project></velko>");
    }

    // A store with velkotwodll loaded from the scratch directory.
    void loadStore(KoPersistentAppStorage& store) {
        store.selectApplication("velkotwodll");
        store.loadApplication("velkotwodll");
    }

    ScratchDirectory dir;
    KoPersistentAppStorageSettings settings;
};

} // namespace

TEST_F(StoreFiles, LoadReplacesTheTreeWithTheFilesRoot) {
    KoXMLDatabase db("velko");
    db.setValue("old.value", "1");
    db.load(dir.file("velkotwodll.xml"), kNoDefault);
    EXPECT_EQ(db.rootName(), "velko");
    EXPECT_EQ(db.document(), db.base());
    EXPECT_EQ(db.directory(), dir.path() + "/");
    EXPECT_EQ(db.getValue("old.value", "gone"), "gone");
    KoXMLGenericElementList options;
    db.findElements("velkotwodll.options.option", options);
    ASSERT_EQ(options.size(), 3u);
    EXPECT_EQ(options.front()->attributeText("value", ""), "8443");
    // Values are kept as written in the file: no entity decoding.
    EXPECT_EQ((*std::next(options.begin()))->attributeText("value", ""), "Velko &amp; co");
}

TEST_F(StoreFiles, LoadHandsAMissingFileToCreateDefault) {
    KoXMLDatabase db("velko");
    const std::string missing = dir.file("made.xml");
    std::vector<std::string> asked;
    db.load(missing, [&](const std::string& path) {
        asked.push_back(path);
        dir.write("made.xml", "<config><a b=\"c\"/></config>");
    });
    EXPECT_EQ(asked, std::vector<std::string>{missing});
    EXPECT_EQ(db.rootName(), "config");
    EXPECT_EQ(db.getValue("a.b", ""), "c");

    // An existing file is not handed to it.
    db.load(missing, [&](const std::string& path) { asked.push_back(path); });
    EXPECT_EQ(asked.size(), 1u);
    // An empty callable for a missing file is a bad function call.
    EXPECT_THROW(db.load(dir.file("absent.xml"), KoXMLDatabase::CreateDefault()),
                 std::bad_function_call);
    EXPECT_EQ(db.rootName(), "config");
}

TEST_F(StoreFiles, FailedLoadKeepsThePreviousTree) {
    KoXMLDatabase db("velko");
    db.setValue("kept.value", "1");
    const std::string before = written(db.document());

    struct Case {
        const char* file;
        const char* content; // null: no file at all
        const char* error;   // the reader's error that the message ends in
    };
    const Case cases[] = {
        {"missing.xml", nullptr, "error in stream around line 1"},
        {"empty.xml", "", "no root element"},
        // The reader ends quietly inside open elements; a cut file is refused.
        {"unclosed.xml", "<velko><a>", "element 'a' not closed at the end of the input around line 1"},
        {"cut.xml", "<velko>\n<a></a>\n", "element 'velko' not closed at the end of the input around line 3"},
        {"wrong.xml", "<velko></other>", "wrong closing tag '/other' instead '/velko' around line 1"},
        {"text.xml", "just text", "no root element"},
        {"truncated.xml", "<velko a=\"1", "reading error  around line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = c.content ? dir.write(c.file, c.content) : dir.file(c.file);
        testing::internal::CaptureStderr();
        const std::string message = messageOf([&] { db.load(path, kNoDefault); });
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(message.rfind("no config was found - " + path + " with ", 0), 0u) << message;
        EXPECT_NE(message.find(c.error), std::string::npos) << message;
        EXPECT_EQ(written(db.document()), before);
        EXPECT_EQ(db.getValue("kept.value", ""), "1");
        EXPECT_EQ(db.directory(), "");
    }
}

TEST_F(StoreFiles, StringVariablesComeOutAsStored) {
    KoXMLDatabase project("");
    project.load(dir.file("demo/demo.xml"), kNoDefault);
    EXPECT_TRUE(project.hasStringVariable("title"));
    EXPECT_EQ(project.stringVariable("title", "d"), "Demo <b>bold</b> title");
    EXPECT_EQ(project.stringVariable("absent", "d"), "d");
}

TEST_F(StoreFiles, ApplicationOptionsAndProjectsFromAFile) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    EXPECT_EQ(store.applicationName(), "velkotwodll");
    std::map<std::string, std::string> options;
    store.readOptions(options);
    EXPECT_EQ(options, (std::map<std::string, std::string>{{"port", "8443"},
                                                           {"title", "Velko &amp; co"}}));
    std::vector<std::string> names;
    store.projectNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"demo", "broken", "nowhere"}));
}

TEST_F(StoreFiles, LoadApplicationWithoutAFileKeepsTheTree) {
    KoPersistentAppStorage store(settings);
    store.selectApplication("unknown");
    const std::string message = messageOf([&] { store.loadApplication("unknown"); });
    EXPECT_EQ(message.rfind("no config was found - " + dir.file("unknown.xml") + " with ", 0), 0u)
        << message;
    EXPECT_EQ(written(store.base()), "<velko>\n<unknown />\n</velko>");
}

TEST_F(StoreFiles, RegisterProjectsRecordsReadableProjectFiles) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    std::string captured;
    const KoDiagnosticSink previous =
        setDiagnosticSink([&captured](std::string_view line) { captured.append(line).append("\n"); });
    EXPECT_TRUE(store.registerProjects("demo"));
    EXPECT_FALSE(store.registerProjects("unlisted"));
    EXPECT_FALSE(store.registerProjects("broken"));  // not well-formed
    EXPECT_FALSE(store.registerProjects("nowhere")); // configured directory missing
    setDiagnosticSink(previous);
    const std::string out = captured;
    EXPECT_NE(out.find("*#*#*#* "), std::string::npos);
    EXPECT_NE(out.find("csd: " + dir.file("demo") + "\n"), std::string::npos);
    EXPECT_FALSE(fileStatus(dir.file("missing")));

    EXPECT_NE(store.openProject("demo", "h"), nullptr);
    EXPECT_EQ(messageOf([&] { store.openProject("broken", "h"); }), "project brokennot found");
    EXPECT_EQ(DiagnosticsOf([&] { store.closeProject("demo", "h"); }), "closing demo\n");
}

TEST_F(StoreFiles, RegisterProjectsCreatesTheDefaultDirectory) {
    // A project without projectpath lives below the projects directory.
    dir.write("velkotwodll.xml",
              "<velko><velkotwodll><projects><project name=\"p\"/></projects></velkotwodll></velko>");
    KoPersistentAppStorage store(settings);
    loadStore(store);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The directories are made, but there is no project file to read yet.
    EXPECT_FALSE(store.registerProjects("p"));
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ensureDirectory(dir.file("velkotwodll_projects/p"), false));
    dir.write("velkotwodll_projects/p/p.xml", kProjectFile);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(store.registerProjects("p"));
    testing::internal::GetCapturedStdout();
}

TEST_F(StoreFiles, ProjectsAreSharedByHoldersAndClosedByTheLast) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(store.registerProjects("demo"));
    testing::internal::GetCapturedStdout();

    KoXMLDatabase* first = store.openProject("demo", "client-a");
    KoXMLDatabase* second = store.openProject("demo", "client-b");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->holderSet(), (std::set<std::string>{"client-a", "client-b"}));

    EXPECT_EQ(DiagnosticsOf([&] { store.closeProject("demo", "client-a"); }), "");
    std::string text = "[[title]]";
    store.expandTemplate(text, "demo");
    EXPECT_EQ(text, "Demo <b>bold</b> title");

    EXPECT_EQ(DiagnosticsOf([&] { store.closeProject("demo", "client-b"); }), "closing demo\n");
    text = "[[title]]";
    store.expandTemplate(text, "demo");
    EXPECT_EQ(text, "");

    // Opened again, it is read from its file afresh.
    KoXMLDatabase* again = store.openProject("demo", "client-c");
    EXPECT_EQ(again->holderSet(), (std::set<std::string>{"client-c"}));
}

TEST_F(StoreFiles, ReopenReadsTheFileAgain) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(store.registerProjects("demo"));
    testing::internal::GetCapturedStdout();
    KoXMLDatabase* db = store.openProject("demo", "a");

    dir.write("demo/demo.xml",
              "<velko><project><stringvariables><stringvariable name=\"title\">New</stringvariable>"
              "</stringvariables></project></velko>");
    {
        std::string captured;
        const KoDiagnosticSink previous =
            setDiagnosticSink([&captured](std::string_view line) { captured.append(line).append("\n"); });
        EXPECT_EQ(store.reopenProject("demo", "b"), db);
        setDiagnosticSink(previous);
        EXPECT_EQ(captured, "reading DB again\n");
    }
    EXPECT_EQ(db->stringVariable("title", ""), "New");
    EXPECT_EQ(db->holderSet(), (std::set<std::string>{"a", "b"}));

    // A file that no longer reads keeps the open tree.
    dir.write("demo/demo.xml", "<velko>");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_THROW(store.reopenProject("demo", "c"), KoException);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(db->stringVariable("title", ""), "New");
}

TEST_F(StoreFiles, ExpandTemplateUsesProjectVariablesBeforeTemplateValues) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(store.registerProjects("demo"));
    testing::internal::GetCapturedStdout();
    store.openProject("demo", "h");

    store.setTemplateValue("title", "template title");
    store.setTemplateValue("inner", "I");
    std::string text = "<h1>[[title]]</h1>[[nested]]";
    EXPECT_EQ(store.expandTemplate(text, "demo"), velko::store::ExpansionEnd::complete);
    EXPECT_EQ(text, "<h1>Demo <b>bold</b> title</h1>I");
    // Without the project, template values answer.
    text = "[[title]]";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "template title");

    // A project variable that holds its own marker ends at the depth bound.
    text = "[[self]]";
    EXPECT_EQ(store.expandTemplate(text, "demo"), velko::store::ExpansionEnd::depthLimit);
    EXPECT_EQ(text, std::string(velko::store::TemplateLimits::kDefaultMaxDepth, 's') + "[[self]]");
}

TEST_F(StoreFiles, HoldersOpenAndCloseFromSeveralThreads) {
    KoPersistentAppStorage store(settings);
    loadStore(store);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(store.registerProjects("demo"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            const std::string holder = "client-" + std::to_string(t);
            for (int i = 0; i < 20; ++i) {
                KoXMLDatabase* db = store.openProject("demo", holder);
                EXPECT_NE(db, nullptr);
                std::string text = "[[title]]";
                store.expandTemplate(text, "demo");
                // Other holders closing never take it away from this one.
                EXPECT_EQ(text, "Demo <b>bold</b> title");
                store.closeProject("demo", holder);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    testing::internal::GetCapturedStdout();
    std::string text = "[[title]]";
    store.expandTemplate(text, "demo");
    EXPECT_EQ(text, "");
}
