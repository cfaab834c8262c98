#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/velko_application.h"
#include "foundation/exception.h"
#include "message/http_tables.h"
#include "message/protocols.h"
#include "message/x_header.h"
#include "message/response_header.h"
#include "message/transceiver_client.h"
#include "platform/file_system.h"

namespace {

struct Launches {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> urls;
    std::vector<std::string> browsers;
    KoBrowserLauncher launcher() {
        return [this](const std::vector<std::string>& names, const std::string& url) {
            std::lock_guard<std::mutex> guard(lock);
            urls.push_back(url);
            browsers = names;
            arrived.notify_all();
        };
    }
    bool wait(std::size_t n) {
        std::unique_lock<std::mutex> guard(lock);
        return arrived.wait_for(guard, std::chrono::seconds(5), [&] { return urls.size() >= n; });
    }
};

KoServerCallback_t Listening(const std::string& protocolText) {
    KoServerCallback_t event;
    event.kind = 4;
    event.values = {{"address", "127.0.0.1"}, {"port", "8080"}, {"protocolstring", protocolText}, {"ID", "x"}};
    return event;
}

class EchoHandler : public KoApplicationHandler {
public:
    explicit EchoHandler(std::string name_, int* destroyed_ = nullptr) : name(std::move(name_)), destroyed(destroyed_) {}
    ~EchoHandler() override {
        if (destroyed) ++*destroyed;
    }
    std::string handlerName() const override { return name; }
    void message(KoXHeader&, KoXResponseHeader& response, const std::string& command) override {
        response.Input().sputn(command.data(), static_cast<std::streamsize>(command.size()));
    }
    std::string name;
    int* destroyed;
};

TEST(KoVelkoApplication2, OpensTheStartPageForPlainHttpOnly) {
    Launches launches;
    KoApplicationSettings settings;
    settings.launcher = launches.launcher();
    KoVelkoApplication2 app(nullptr, {}, {{"_app_context_commandurl", ""}}, settings);
    app.serverEvent(Listening("https"));
    app.serverEvent(Listening("http"));
    ASSERT_TRUE(launches.wait(1));
    std::lock_guard<std::mutex> guard(launches.lock);
    EXPECT_EQ(launches.urls, std::vector<std::string>{"http://127.0.0.1:8080/"});
    EXPECT_EQ(launches.browsers.front(), "opera");
    EXPECT_EQ(launches.browsers.back(), "epiphany");
    EXPECT_EQ(app.options().at("tcp_port_https"), "8080");
    EXPECT_EQ(app.options().at("tcp_address_http"), "127.0.0.1");
}

TEST(KoVelkoApplication2, NoPopupWhenAsked) {
    Launches launches;
    KoApplicationSettings settings;
    settings.launcher = launches.launcher();
    {
        KoVelkoApplication2 app(nullptr, {}, {{"no_browser_popup", "yes"}}, settings);
        app.serverEvent(Listening("http"));
        EXPECT_EQ(app.options().at("tcp_port_http"), "8080");
    }
    std::lock_guard<std::mutex> guard(launches.lock);
    EXPECT_TRUE(launches.urls.empty());
}

TEST(KoVelkoApplication2, HandlerRegistry) {
    int destroyed = 0;
    {
        KoApplicationSettings settings;
        KoVelkoApplication2 app(nullptr, {}, {}, settings);
        EXPECT_EQ(app.registerHandler(nullptr), nullptr);
        app.registerHandler(std::make_unique<EchoHandler>("h1", &destroyed));
        EXPECT_TRUE(app.hasHandler("h1"));
        EXPECT_FALSE(app.hasHandler("h2"));
        KoXHeader request(1, false, 3);
        auto response = request.MakeAnswer();
        EXPECT_TRUE(app.forwardToHandler("h1", request, *response, "ping"));
        EXPECT_EQ(response->Body(), "ping");
        EXPECT_FALSE(app.forwardToHandler("h2", request, *response, "ping"));
        // A replaced handler is destroyed, not leaked.
        app.registerHandler(std::make_unique<EchoHandler>("h1", &destroyed));
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(app.createHandler("h1"), nullptr);
    }
    EXPECT_EQ(destroyed, 2);
}

// A handler that blocks, released by the test; counts the calls inside it.
class GateHandler : public KoApplicationHandler {
public:
    explicit GateHandler(std::string name_, bool blocks_ = true) : name(std::move(name_)), blocks(blocks_) {}
    std::string handlerName() const override { return name; }
    bool mayBlock() const override { return blocks; }
    void message(KoXHeader&, KoXResponseHeader&, const std::string&) override {
        std::unique_lock<std::mutex> guard(lock);
        ++inside;
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    bool waitInside(int n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return inside >= n; });
    }
    std::string name;
    bool blocks;
    std::mutex lock;
    std::condition_variable changed;
    int inside = 0;
    bool open = false;
};

// The registry's lock was held while a handler ran: one blocking command
// stalled every other command and registration.
TEST(KoVelkoApplication2, HandlersRunWithoutTheRegistryLock) {
    KoVelkoApplication2 app(nullptr, {}, {}, {});
    auto* gate = static_cast<GateHandler*>(app.registerHandler(std::make_unique<GateHandler>("slow")));
    EXPECT_TRUE(app.handlerMayBlock("slow"));
    EXPECT_FALSE(app.handlerMayBlock("none"));
    auto call = [&] {
        KoXHeader request(1, false, 3);
        auto response = request.MakeAnswer();
        EXPECT_TRUE(app.forwardToHandler("slow", request, *response, ""));
    };
    std::thread first(call);
    std::thread second(call);
    EXPECT_TRUE(gate->waitInside(2));
    // Registration goes on while both calls are inside.
    app.registerHandler(std::make_unique<EchoHandler>("other"));
    EXPECT_TRUE(app.hasHandler("other"));
    gate->release();
    first.join();
    second.join();
}

// A handler replaced while it runs lives until it returns.
TEST(KoVelkoApplication2, HandlerReplacedWhileItRunsFinishesItsCall) {
    KoVelkoApplication2 app(nullptr, {}, {}, {});
    auto* gate = static_cast<GateHandler*>(app.registerHandler(std::make_unique<GateHandler>("h")));
    std::thread call([&] {
        KoXHeader request(1, false, 3);
        auto response = request.MakeAnswer();
        EXPECT_TRUE(app.forwardToHandler("h", request, *response, ""));
    });
    ASSERT_TRUE(gate->waitInside(1));
    app.registerHandler(std::make_unique<EchoHandler>("h"));
    gate->release();
    call.join();
    KoXHeader request(1, false, 3);
    auto response = request.MakeAnswer();
    EXPECT_TRUE(app.forwardToHandler("h", request, *response, "echo"));
    EXPECT_EQ(response->Body(), "echo");
}

TEST(KoVelkoApplication2, RoutesAreLookedUpByMethodAndPath) {
    KoVelkoApplication2 app(nullptr, {}, {}, {});
    EXPECT_EQ(app.routeHandler("GET", "/x"), nullptr);
    EXPECT_TRUE(app.routeMethods("POST", "/x").empty());
    app.addRoute("GET", "/x", std::make_shared<EchoHandler>("exact"));
    app.addRoute("*", "/x/*", std::make_shared<EchoHandler>("prefix"));
    EXPECT_EQ(app.routeHandler("GET", "/x")->handlerName(), "exact");
    EXPECT_EQ(app.routeHandler("POST", "/x/y")->handlerName(), "prefix");
    EXPECT_EQ(app.routeHandler("POST", "/x"), nullptr);
    EXPECT_EQ(app.routeMethods("POST", "/x"), (std::vector<std::string>{"GET", "HEAD"}));
    EXPECT_THROW(app.addRoute("GET", "x", std::make_shared<EchoHandler>("bad")), KoException);
    app.addRoute("GET", "/x", nullptr);
    EXPECT_EQ(app.routeHandler("GET", "/x"), nullptr);
}

TEST(KoVelkoApplication2, AccessLogGoesToItsSinkAndEventsToTheObserver) {
    std::vector<std::string> lines;
    std::vector<std::int32_t> kinds;
    KoApplicationSettings settings;
    settings.accessLog = [&](const std::string& line) { lines.push_back(line); };
    settings.observer = [&](const KoServerCallback_t& event) {
        kinds.push_back(event.kind);
        return true;
    };
    KoVelkoApplication2 app(nullptr, {}, {{"no_browser_popup", "true"}}, settings);
    KoServerCallback_t log;
    log.kind = 7;
    log.values["logging"] = "a line";
    testing::internal::CaptureStdout();
    app.serverEvent(log);
    app.serverEvent(Listening("https"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(lines, std::vector<std::string>{"a line"});
    EXPECT_EQ(kinds, (std::vector<std::int32_t>{7, 4}));
    EXPECT_EQ(app.options().at("tcp_port_https"), "8080");
}

TEST(KoVelkoApplication2, IdentifiersHaveTheirShape) {
    KoVelkoApplication2 app(nullptr, {}, {}, {});
    std::string id;
    app.newIdentifier(id, "id");
    ASSERT_EQ(id.size(), 2u + 7 + 11);
    EXPECT_EQ(id.substr(0, 2), "id");
    EXPECT_EQ(id.find_first_not_of("0123456789", 2), std::string::npos);
}

}  // namespace

// The application never installed the outgoing side, so a client's AddRoute
// failed with "no hook service for http".
TEST(KoVelkoApplication2, RoutesAClientsOutgoingRequests) {
    auto dir = platform::makeTemporaryDirectory("velko_app_");
    ASSERT_TRUE(dir.ok());
    const std::string root = dir.value() + "/";
    std::ofstream(root + "index.html") << "hi";
    KoApplicationSettings settings;
    settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
    HostEntry host;
    host.address = "127.0.0.1";
    host.port = 0;
    host.protocolCode = 3;
    KoVelkoApplication2 app(nullptr, {host}, {{"_baseDirectoryHTTP", root}, {"no_browser_popup", "true"}}, settings);
    app.start();
    std::string port;
    for (int i = 0; i < 250 && port.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto options = app.options();
        if (options.count("tcp_port_http")) port = options["tcp_port_http"];
    }
    ASSERT_FALSE(port.empty());

    auto request = std::make_shared<KoXHeader>(method_code::GET, false, protocol::HTTP);
    request->messageKind = message_kind::Request;
    request->host = "127.0.0.1";
    request->port = static_cast<decltype(request->port)>(std::stoul(port));
    request->path = "/";
    std::string name;
    std::string log;
    for (int i = 0; i < 100 && log.find("\"GET /\" --> 200") == std::string::npos; ++i) {
        testing::internal::CaptureStdout();
        if (i == 0) {
            EXPECT_NO_THROW(app.Hosts().at(0).client->AddRoute(name, request, false));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        log += testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(name, request->name);
    EXPECT_NE(log.find("\"GET /\" --> 200"), std::string::npos) << log;
    platform::removeTree(root);
}
