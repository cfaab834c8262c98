#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/velko_application.h"
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
