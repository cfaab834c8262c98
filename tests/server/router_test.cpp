// Where the file route takes a request path: refusals before any file is
// looked at, default documents, redirects of directories, store variables
// first, the CGI directory, scripts and plain files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "platform/file_system.h"
#include "server/request_path.h"
#include "server/router.h"
#include "server/router_services.h"

namespace {

using Kind = KoPathDecision::Kind;

class StoreOnly : public KoRouterServices {
public:
    std::unique_ptr<KoApplicationHandler> createHandler(const std::string&) override { return nullptr; }
    bool forwardToHandler(const std::string&, KoXHeader&, KoXResponseHeader&, const std::string&) override {
        return false;
    }
    bool storeHas(const std::string& key) override {
        asked.insert(key);
        return variables.count(key) != 0;
    }
    bool storeLookup(const std::string&, KoXResponseHeader&) override { return true; }

    std::set<std::string> variables;
    std::set<std::string> asked;
};

void Touch(const std::string& path, const std::string& bytes = "x") {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

class Router : public ::testing::Test {
protected:
    void SetUp() override {
        auto dir = platform::makeTemporaryDirectory("velko_router_");
        ASSERT_TRUE(dir.ok());
        root = dir.value() + "/";
        platform::createDirectory(root + "both");
        platform::createDirectory(root + "html");
        platform::createDirectory(root + "empty");
        platform::createDirectory(root + "programs");
        Touch(root + "both/index.php");
        Touch(root + "both/index.html");
        Touch(root + "html/index.html", "12345");
        Touch(root + "page.html", "abc");
        Touch(root + "run.php");
        Touch(root + "var");
        Touch(root + ".hidden");
        Touch(root + "programs/tool.sh");
        config.documentRoot = root;
        config.cgiDirectory = root + "programs/";
    }
    void TearDown() override { platform::removeTree(root); }

    KoPathDecision Decide(const std::string& path, KoRouterConfig used) {
        KoRequestRouter router(transceiver, services, std::move(used));
        return router.decide(path);
    }
    KoPathDecision Decide(const std::string& path) { return Decide(path, config); }

    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver{scheduler};
    StoreOnly services;
    KoRouterConfig config;
    std::string root;
};

TEST_F(Router, DefaultDocumentsPreferTheScript) {
    KoRouterConfig both = config;
    both.documentRoot = root + "both/";
    auto decision = Decide("/", both);
    EXPECT_EQ(decision.kind, Kind::script);
    EXPECT_EQ(decision.file, root + "both/index.php");

    decision = Decide("/html/");
    EXPECT_EQ(decision.kind, Kind::file);
    EXPECT_EQ(decision.file, root + "html/index.html");
    EXPECT_EQ(decision.info.size, 5u);

    // Neither present: nothing to serve, and never the directory itself.
    KoRouterConfig empty = config;
    empty.documentRoot = root + "empty/";
    EXPECT_EQ(Decide("/", empty).kind, Kind::missing);
    EXPECT_EQ(Decide("/empty/").kind, Kind::missing);
}

TEST_F(Router, DirectoryWithoutSlashIsRedirected) {
    EXPECT_EQ(Decide("/html").kind, Kind::redirect);
    EXPECT_EQ(Decide("/empty").kind, Kind::redirect);
    EXPECT_EQ(Decide("/html%2f").kind, Kind::file);
}

TEST_F(Router, RefusalsComeBeforeTheFileSystemAndTheStore) {
    services.variables = {".hidden", "../var"};
    for (const char* path : {"/.hidden", "/../var", "/%2e%2e/var", "/html/%2E%2E/var", "/./page.html",
                             "/html/./index.html", "/page.html%00", "/%00", "/html%5cindex.html", "/a\\b",
                             "page.html", ""}) {
        EXPECT_EQ(Decide(path).kind, Kind::refuse) << path;
    }
    EXPECT_TRUE(services.asked.empty());
}

TEST_F(Router, EmptyDocumentRootServesNothing) {
    KoRouterConfig none = config;
    none.documentRoot.clear();
    EXPECT_EQ(Decide("/page.html", none).kind, Kind::refuse);
    EXPECT_EQ(Decide("/", none).kind, Kind::refuse);
}

TEST_F(Router, StoreVariableWinsOverAFile) {
    services.variables = {"var", "a b"};
    EXPECT_EQ(Decide("/var").kind, Kind::store);
    auto decoded = Decide("/a%20b");
    EXPECT_EQ(decoded.kind, Kind::store);
    EXPECT_EQ(decoded.decoded, "/a b");
    services.variables.clear();
    EXPECT_EQ(Decide("/var").kind, Kind::file);
}

TEST_F(Router, CgiPrefixRunsFromTheCgiDirectory) {
    auto decision = Decide("/cgi-bin/tool.sh");
    EXPECT_EQ(decision.kind, Kind::program);
    EXPECT_EQ(decision.file, root + "programs/tool.sh");
    EXPECT_EQ(Decide("/cgi-bin/none.sh").kind, Kind::missing);
    // A directory there is no program.
    platform::createDirectory(root + "programs/sub");
    EXPECT_EQ(Decide("/cgi-bin/sub").kind, Kind::missing);
    EXPECT_EQ(Decide("/cgi-bin/../page.html").kind, Kind::refuse);
}

TEST_F(Router, ScriptsFilesAndMissing) {
    auto script = Decide("/run.php");
    EXPECT_EQ(script.kind, Kind::script);
    EXPECT_EQ(script.file, root + "run.php");
    auto file = Decide("/page.html");
    EXPECT_EQ(file.kind, Kind::file);
    EXPECT_EQ(file.info.size, 3u);
    EXPECT_EQ(Decide("/page%2Ehtml").kind, Kind::file);
    EXPECT_EQ(Decide("/nothing.html").kind, Kind::missing);
    EXPECT_EQ(Decide("/missing.php").kind, Kind::missing);
}

// Other spellings of the CGI path ("//cgi-bin/x", "/%2fcgi-bin/x") and
// other ways into the CGI directory (its own name below the root, a link)
// were decided as static files: the program's source was sent.
TEST_F(Router, ProgramsAreRunOrRefusedNeverServed) {
    std::filesystem::create_directory_symlink(root + "programs", root + "alias");
    std::filesystem::create_symlink(root + "programs/tool.sh", root + "tool-link.sh");
    for (const char* path : {"/cgi-bin/tool.sh", "//cgi-bin/tool.sh", "///cgi-bin//tool.sh", "/%2fcgi-bin/tool.sh",
                             "/cgi-bin%2Ftool.sh"}) {
        const auto decision = Decide(path);
        EXPECT_EQ(decision.kind, Kind::program) << path;
        EXPECT_EQ(decision.file, root + "programs/tool.sh") << path;
        EXPECT_EQ(decision.decoded, "/cgi-bin/tool.sh") << path;
    }
    for (const char* path : {"/programs/tool.sh", "//programs/tool.sh", "/alias/tool.sh", "/alias//tool.sh",
                             "/tool-link.sh", "/%2e/programs/tool.sh"}) {
        const auto decision = Decide(path);
        EXPECT_EQ(decision.kind, Kind::refuse) << path;
        EXPECT_EQ(decision.file, "") << path;
    }
    // A default document in there is no document either.
    Touch(root + "programs/index.html");
    EXPECT_EQ(Decide("/alias/").kind, Kind::refuse);
    EXPECT_EQ(Decide("/page.html").kind, Kind::file);
}

TEST_F(Router, DecisionsUseTheNormalisedPath) {
    const auto redirect = Decide("//html");
    EXPECT_EQ(redirect.kind, Kind::redirect);
    EXPECT_EQ(redirect.decoded, "/html");
    EXPECT_EQ(Decide("/%2F%2Fhtml").decoded, "/html");
    EXPECT_EQ(Decide("//page.html").kind, Kind::file);
    services.variables = {"a/b"};
    EXPECT_EQ(Decide("//a//b").kind, Kind::store);
}

// A name the file system could not examine was decided "missing" and
// answered 404: a failure of the server reported as the client's.
TEST_F(Router, FileThatCannotBeExaminedIsAFailureNotMissing) {
    std::filesystem::create_symlink(root + "loop", root + "loop");
    const auto decision = Decide("/loop");
    EXPECT_EQ(decision.kind, Kind::failed);
    EXPECT_FALSE(decision.error.ok());
    EXPECT_FALSE(decision.error.notFound());
    EXPECT_EQ(Decide("/page.html/below").kind, Kind::missing);
    EXPECT_EQ(Decide("/cgi-bin/none").kind, Kind::missing);
    // A name longer than the file system takes was a failure (500): no such
    // file can exist, it is the client's mistake.
    const std::string longName(300, 'a');
    for (const std::string& path :
         {"/" + longName, "/" + longName + ".php", "/cgi-bin/" + longName, "/sub/" + longName}) {
        EXPECT_EQ(Decide(path).kind, Kind::missing) << path.substr(0, 12);
    }
}

TEST(KoNormaliseRequestPath, Table) {
    const struct {
        const char* path;
        const char* normal;  // nullptr: refused
    } table[] = {
        {"/", "/"},
        {"//", "/"},
        {"/a//b///c/", "/a/b/c/"},
        {"/%2f%2Fa", "/a"},
        {"/a%20b", "/a b"},
        {"/a.b/c.d", "/a.b/c.d"},
        {"/a/.b", nullptr},
        {"/a/%2e%2E/b", nullptr},
        {"//./a", nullptr},
        {"/a%2f.", nullptr},
        {"/a%00", nullptr},
        {"/a%5cb", nullptr},
        {"/a\\b", nullptr},
        {"a", nullptr},
        {"%2fa", "/a"},
        {"", nullptr},
    };
    for (const auto& row : table) {
        const auto normal = KoNormaliseRequestPath(row.path);
        if (row.normal == nullptr) {
            EXPECT_FALSE(normal) << row.path;
        } else {
            EXPECT_EQ(normal.value_or("<refused>"), row.normal) << row.path;
        }
    }
}

TEST(KoEncodeRequestPath, OnlyPlainBytesStay) {
    EXPECT_EQ(KoEncodeRequestPath("/a-b_c.d~/x:y@z!$&'()*+,;="), "/a-b_c.d~/x:y@z!$&'()*+,;=");
    EXPECT_EQ(KoEncodeRequestPath("/a b?c#d%e\"\x01\xff"), "/a%20b%3Fc%23d%25e%22%01%FF");
}

}  // namespace
