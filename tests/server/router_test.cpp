// Where the file route takes a request path: refusals before any file is
// looked at, default documents, redirects of directories, store variables
// first, the CGI directory, scripts and plain files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "message/answer_sink.h"
#include "message/response_header.h"
#include "message/transceiver.h"
#include "platform/file_system.h"
#include "server/connection/http_layer.h"
#include "server/files/file_cache.h"
#include "server/http/request_path.h"
#include "server/routing/router.h"
#include "server/routing/router_services.h"

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
    bool hasCommands() override { return commands; }
    std::shared_ptr<KoApplicationHandler> routeHandler(const std::string&, const std::string& path) override {
        return path == "/route" ? route : nullptr;
    }

    std::set<std::string> variables;
    std::set<std::string> asked;
    bool commands = false;
    std::shared_ptr<KoApplicationHandler> route;
};

// Takes the answers the router sends, from any thread.
struct Answers : KoAnswerSink {
    void answer(std::shared_ptr<KoXResponseHeader> response) override {
        std::lock_guard<std::mutex> guard(lock);
        taken.push_back(std::move(response));
        arrived.notify_all();
    }
    // The answers once there are count of them (or what came within 10 s).
    std::vector<std::shared_ptr<KoXResponseHeader>> Wait(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, std::chrono::seconds(10), [&] { return taken.size() >= count; });
        return taken;
    }
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::shared_ptr<KoXResponseHeader>> taken;
};

// A host's route, which may block and so runs on the router's handler queue.
class BlockingRoute : public KoApplicationHandler {
public:
    std::string handlerName() const override { return "route"; }
    bool mayBlock() const override { return true; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string&) override {
        ++calls;
        KoHTTPMessageBlock* field = request.Field("a");
        const std::string text = field == nullptr ? std::string("<none>") : field->Text();
        response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::atomic<int> calls{0};
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

std::shared_ptr<KoXHeader> FormRequest(const std::string& method, const std::string& target, const std::string& body,
                                       const std::shared_ptr<Answers>& answers) {
    auto request = std::make_shared<KoXHeader>(0, false, protocol::HTTP);
    request->AppendInput(method + " " + target + " HTTP/1.1\r\nHost: x\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(request->ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    request->answerSink = answers;
    return request;
}

// Every request's body was parsed as a form before routing and before the
// method check: 1 MiB of "=&" to a static file made half a million blocks
// (about 300 MiB) before it was answered 405.
TEST_F(Router, StaticFileAnswersWithoutReadingTheForm) {
    std::string body;
    for (int i = 0; i < (1 << 19); ++i) body += "=&";
    auto answers = std::make_shared<Answers>();
    KoRequestRouter router(transceiver, services, config);
    auto request = FormRequest("POST", "/page.html", body, answers);
    EXPECT_EQ(router.route("", request), 1);
    ASSERT_EQ(answers->taken.size(), 1u);
    EXPECT_EQ(answers->taken[0]->statusCode, 405);
    EXPECT_TRUE(request->blocks.empty());
    EXPECT_TRUE(request->fieldsByName.empty());
}

// Where a command may answer the form is read, within its bound: more
// fields than it are refused before any handler is asked.
TEST_F(Router, FormIsReadForCommandsWithinItsBound) {
    services.commands = true;
    auto answers = std::make_shared<Answers>();
    KoRequestRouter router(transceiver, services, config);
    std::string many;
    for (std::size_t i = 0; i <= KoMessageLimits::kMaxFormFields; ++i) many += "f" + std::to_string(i) + "=1&";
    auto refused = FormRequest("POST", "/page.html", many, answers);
    EXPECT_EQ(router.route("", refused), 1);
    ASSERT_EQ(answers->taken.size(), 1u);
    EXPECT_EQ(answers->taken[0]->statusCode, 413);
    EXPECT_TRUE(refused->blocks.empty());

    auto sound = FormRequest("POST", "/page.html", "velkoid=none&x=1", answers);
    EXPECT_EQ(router.route("", sound), 1);
    ASSERT_EQ(answers->taken.size(), 2u);
    // No handler under that name: on to the file, which takes no POST.
    EXPECT_EQ(answers->taken[1]->statusCode, 405);
    EXPECT_EQ(sound->blocks.size(), 2u);
    EXPECT_EQ(sound->Field("x")->Text(), "1");
}

// A host's handler reads the form on its own thread, and a form past the
// bound is answered there before the handler is called.
TEST_F(Router, HostRouteReadsTheFormOffTheLoopWithinItsBound) {
    auto handler = std::make_shared<BlockingRoute>();
    services.route = handler;
    auto answers = std::make_shared<Answers>();
    KoRequestRouter router(transceiver, services, config);
    std::string many;
    for (std::size_t i = 0; i <= KoMessageLimits::kMaxFormFields; ++i) many += "a=" + std::to_string(i) + "&";
    EXPECT_EQ(router.route("", FormRequest("POST", "/route", many, answers)), KoTransceiverServerL1HTTP::answerPending);
    EXPECT_EQ(router.route("", FormRequest("POST", "/route", "a=x+y", answers)), KoTransceiverServerL1HTTP::answerPending);
    const auto taken = answers->Wait(2);
    ASSERT_EQ(taken.size(), 2u);
    std::multiset<std::int32_t> statuses;
    for (const auto& answer : taken) statuses.insert(answer->statusCode);
    EXPECT_EQ(statuses, (std::multiset<std::int32_t>{200, 413}));
    EXPECT_EQ(handler->calls.load(), 1);
    for (const auto& answer : taken) {
        if (answer->statusCode == 200) {
            EXPECT_EQ(answer->Body(), "x y");
        }
    }
    router.stop();
}

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
                             "page.html", "", "/page.htm%6", "/page.html%-1", "/%+2page.html"}) {
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

// A file's answer carries the file the router opened and examined, so that
// the layer sends what the validators describe without asking for the name
// again; the site's fields are shared defaults, not copies per answer.
TEST_F(Router, FileAnswerCarriesTheOpenFile) {
    auto answers = std::make_shared<Answers>();
    KoRequestRouter router(transceiver, services, config);
    auto request = FormRequest("GET", "/page.html", "", answers);
    EXPECT_EQ(router.route("", request), 1);
    ASSERT_EQ(answers->taken.size(), 1u);
    const auto& answer = answers->taken[0];
    EXPECT_EQ(answer->statusCode, 200);
    EXPECT_EQ(answer->bodyFile, root + "page.html");
    ASSERT_NE(answer->bodyOpenFile, nullptr);
    EXPECT_EQ(answer->bodyOpenFile->identity.size, 3u);
    EXPECT_EQ(answer->bodyFileSize, 3);
    ASSERT_NE(answer->defaultFields, nullptr);
    EXPECT_EQ(answer->fields.count("referrer-policy"), 0u);
    bool referrerPolicy = false;
    for (const auto& [name, value] : *answer->defaultFields) referrerPolicy |= name == "referrer-policy";
    EXPECT_TRUE(referrerPolicy);

    // What is not a regular file is never carried.
    auto missing = FormRequest("GET", "/nothing.html", "", answers);
    EXPECT_EQ(router.route("", missing), 1);
    ASSERT_EQ(answers->taken.size(), 2u);
    EXPECT_EQ(answers->taken[1]->statusCode, 404);
    EXPECT_EQ(answers->taken[1]->bodyOpenFile, nullptr);
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
        // Escapes read by strtol: "%-1" gave 0xFF, "%+2" 0x02, "%2/" 0x02.
        {"/a%-1", nullptr},
        {"/a%+2", nullptr},
        {"/a%2/b.txt", nullptr},
        {"/a% 2", nullptr},
        {"/a%", nullptr},
        {"/a%4", nullptr},
        {"/%41%4a%4A", "/AJJ"},
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

namespace {

struct PlanCase {
    const char* request;  // the header, its last CR LF pair left out
    KoBodyPlan::Use use;
};

// What went wrong: every body was held whole until complete, whatever was
// going to answer it, and "100 Continue" was sent before any check. The
// plan taken at the header's end says what the body is for, the way route()
// answers: kept for a command's form, spooled for scripts and host routes,
// discarded where nothing reads it, refused where the answer needs none.
TEST_F(Router, PlansEachBodyTheWayItWillBeAnswered) {
    using Use = KoBodyPlan::Use;
    services.route = std::make_shared<BlockingRoute>();
    services.variables = {"var"};
    const PlanCase withoutCommands[] = {
        {"POST /page.html HTTP/1.1\r\nHost: x\r\n", Use::refuse},
        {"GET /page.html HTTP/1.1\r\nHost: x\r\n", Use::discard},
        {"OPTIONS /page.html HTTP/1.1\r\nHost: x\r\n", Use::discard},
        {"POST /missing.bin HTTP/1.1\r\nHost: x\r\n", Use::refuse},
        {"POST /html HTTP/1.1\r\nHost: x\r\n", Use::refuse},  // a redirect
        {"POST /run.php HTTP/1.1\r\nHost: x\r\n", Use::spool},
        {"PUT /run.php HTTP/1.1\r\nHost: x\r\n", Use::refuse},
        {"POST /cgi-bin/tool.sh HTTP/1.1\r\nHost: x\r\n", Use::spool},
        {"POST /programs/tool.sh HTTP/1.1\r\nHost: x\r\n", Use::refuse},
        {"POST /route HTTP/1.1\r\nHost: x\r\n", Use::spool},
        {"POST /var HTTP/1.1\r\nHost: x\r\n", Use::discard},
        {"POST /run.php HTTP/1.1\r\n", Use::refuse},  // no Host
        {"POST /page.html HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n", Use::refuse},
    };
    const PlanCase withCommands[] = {
        {"POST /page.html HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n", Use::keep},
        {"POST /page.html HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n", Use::keep},
        {"POST /page.html HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream\r\n", Use::refuse},
        {"GET /page.html?velkoid=a HTTP/1.1\r\nHost: x\r\n", Use::keep},
        {"POST /run.php HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n", Use::spool},
    };
    KoRequestRouter router(transceiver, services, config);
    const auto check = [&](const PlanCase& c) {
        SCOPED_TRACE(c.request);
        KoXHeader request(0, false, protocol::HTTP);
        request.AppendInput(std::string(c.request) + "\r\n");
        ASSERT_EQ(request.ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
        EXPECT_EQ(static_cast<int>(router.planBody(request).use), static_cast<int>(c.use));
    };
    for (const PlanCase& c : withoutCommands) check(c);
    services.commands = true;
    for (const PlanCase& c : withCommands) check(c);
    router.stop();
}

}  // namespace
