#include "foundation/diagnostics.h"
#include "message/transceiver_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "jobs/kessa_scheduler.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/transceiver_layer.h"
#include "message/x_header.h"

namespace {

std::shared_ptr<KoXHeader> Message(std::int32_t kind, std::int32_t code) {
    auto header = std::make_shared<KoXHeader>(1, false, code);
    header->messageKind = kind;
    return header;
}

class RouteLayer : public KoTransceiverLayer {
public:
    RouteLayer() : KoTransceiverLayer(1000000) {}
    bool start() override { return true; }
    void stop() override {}
    bool attach(KoTransceiver&) override { return true; }
    void detach(KoTransceiver&) override {}
    std::string connectionTagText() const override { return {}; }
    bool takeDescription(std::shared_ptr<KoXHeader> description, const std::string& joinedTask, bool) override {
        taken.push_back(description->name);
        tasks.push_back(joinedTask);
        return true;
    }
    std::vector<std::string> taken, tasks;
};

}  // namespace

TEST(KoTransceiverClient, ReadsItsSettingsWithDefaults) {
    KoTransceiverClient plain({}, {}, nullptr);
    EXPECT_EQ(plain.baseDirectory, "");
    EXPECT_EQ(plain.cgiUrlPrefix, "cgi-bin/");
    EXPECT_EQ(plain.scriptExtension, ".php");
    EXPECT_EQ(plain.phpBinary, "php-cgi");
    EXPECT_EQ(plain.instanceField, "velkoid");
    EXPECT_EQ(plain.commandField, "velkocommand");
    KoTransceiverClient set({}, {{"_baseDirectoryHTTP", "/srv/"}, {"_phpbinname", "php8"}, {"_app_context_commandurl", "/cmd"}},
                            nullptr);
    EXPECT_EQ(set.baseDirectory, "/srv/");
    EXPECT_EQ(set.phpBinary, "php8");
    EXPECT_EQ(set.commandUrl, "/cmd");
}

TEST(KoTransceiverClient, RoutesMessagesByKindAndCode) {
    KoTransceiverClient client({}, {}, nullptr);
    std::vector<std::string> calls;
    client.SetRequestRouter([&](const std::string&, std::shared_ptr<KoXHeader>) { return calls.push_back("http"), 7; });
    client.SetVELKOHandler([&](const std::string&, std::shared_ptr<KoXHeader>) { return calls.push_back("velko"), 8; });

    EXPECT_EQ(client.ReceiveMessage("stranger", Message(2, 3)), 1);
    EXPECT_TRUE(calls.empty());

    client.AddSource("layer", KoTransceiverClient::sourceLayer);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(2, 3)), 7);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(2, 4)), 7);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(2, 6)), 8);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(2, 9)), 1);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(1, 3)), 1);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(1, 9)), 0);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(0, 3)), 0);
    EXPECT_EQ(client.ReceiveMessage("layer", Message(2, 5)), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"http", "http", "velko"}));
}

TEST(KoTransceiverClient, AttachesToOneTransceiverAtATime) {
    KoKessaScheduler2 scheduler;
    KoTransceiver first(scheduler), second(scheduler);
    KoTransceiverClient client({}, {}, nullptr);
    EXPECT_TRUE(client.Attach(first));
    EXPECT_FALSE(client.Attach(second));
    client.Detach(second);
    EXPECT_EQ(client.AttachedTransceiver(), &first);
    client.Detach(first);
    EXPECT_EQ(client.AttachedTransceiver(), nullptr);
}

TEST(KoTransceiverClient, AddRouteDispatchesToOneHookServicePerRoute) {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver(scheduler);
    auto client = std::make_shared<KoTransceiverClient>(KoServerCallback{}, std::map<std::string, std::string>{}, nullptr);
    transceiver.AddClient(client);
    std::vector<std::shared_ptr<RouteLayer>> hooks;
    transceiver.SetHookFactory(3, [&](const KoLayerRequest&) {
        hooks.push_back(std::make_shared<RouteLayer>());
        return hooks.back();
    });

    auto request = Message(2, 3);
    request->host = "example.test";
    request->port = 80;
    std::string name;
    client->AddRoute(name, request, false);
    EXPECT_EQ(name, request->name);
    EXPECT_EQ(client->SourceKind(name), KoTransceiverClient::sourceRoute);
    ASSERT_EQ(hooks.size(), 1u);
    ASSERT_EQ(hooks[0]->taken.size(), 1u);
    EXPECT_FALSE(hooks[0]->tasks[0].empty());

    auto again = Message(2, 3);
    again->host = "example.test";
    again->port = 80;
    client->AddRoute(name, again, false);
    EXPECT_EQ(hooks.size(), 1u);
    EXPECT_EQ(hooks[0]->taken.size(), 2u);

    // An answer goes to the services its route items name.
    auto answer = Message(1, 3);
    answer->routeItems = {request->name};
    std::string ignored;
    transceiver.Dispatch(ignored, *client, answer, {}, "", false);
    EXPECT_EQ(hooks[0]->taken.size(), 3u);

    std::string captured;
    const KoDiagnosticSink previous =
        setDiagnosticSink([&captured](std::string_view line) { captured.append(line).append("\n"); });
    transceiver.Dispatch(ignored, *client, Message(2, 5), {}, "", false);
    transceiver.Dispatch(ignored, *client, Message(0, 3), {}, "", false);
    setDiagnosticSink(previous);
    EXPECT_EQ(captured, "unknown protocol!! (2)\nunknown protocol!! (1)\n");
}
