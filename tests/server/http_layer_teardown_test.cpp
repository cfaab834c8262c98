// Teardown of an HTTP layer the transceiver owns while its worker is still
// busy with an answer that has gone out: the worker holds the layer (as the
// router does while it writes), so it may hold the last reference when the
// transceiver lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "../message/engine_loopback.h"
#include "done_answer.h"
#include "jobs/kessa_scheduler.h"
#include "message/response_header.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/transceiver_client.h"
#include "net/socket_ipvx.h"
#include "server/connection/http_layer.h"
#include "server/layers/layer_factories.h"

using namespace std::chrono_literals;

namespace {

struct Engine {
    KoKessaScheduler2 scheduler;
    std::unique_ptr<KoTransceiver> transceiver;
};

}  // namespace

TEST(HttpLayerTeardown, AWorkerHoldingItsLayerDoesNotHoldUpTheTransceiversEnd) {
    auto engine = std::make_unique<Engine>();
    KoTransceiverSettings engineSettings;
    engineSettings.housekeepingInterval = 50ms;
    engineSettings.teardownPoll = 10ms;
    engine->transceiver = std::make_unique<KoTransceiver>(engine->scheduler, engineSettings);
    KoTransceiver& transceiver = *engine->transceiver;

    std::atomic<bool> answered{false};
    std::atomic<bool> lingered{false};
    KoHTTPSettings http;
    http.server.acceptWaitMs = 50;
    http.server.teardownPoll = 10ms;
    http.accessLog = [&](std::string_view) {
        if (answered.exchange(true)) return;
        // The answer is out; the worker lingers with the layer in hand
        // while the peer goes and the transceiver is taken down.
        std::this_thread::sleep_for(500ms);
        lingered = true;
    };
    KoInstallHTTPLayerFactory(transceiver, http, [&transceiver](const std::string&) {
        return KoTransceiverServerL1HTTP::RequestSink([&transceiver](const std::string&,
                                                                     std::shared_ptr<KoXHeader> request) {
            return server_test::AnswerDone(transceiver, request);
        });
    });

    std::atomic<int> port{0};
    const KoServerCallback events = [&](const KoServerCallback_t& event) {
        if (event.kind == server_event::listening) port = std::stoi(event.values.at("port"));
        return true;
    };
    auto client = std::make_shared<KoTransceiverClient>(events, std::map<std::string, std::string>{}, nullptr);
    ASSERT_TRUE(transceiver.AddClient(client));
    auto header = std::make_shared<KoXServerHeader>(protocol::HTTP, true);
    header->entries["tcp_port"] = "0";
    header->entries["tcp_address"] = "127.0.0.1";
    std::string name;
    client->AddServerLayer(name, header);
    ASSERT_TRUE(engine_test::Eventually([&] { return port.load() != 0; }));

    KoSocketIPvx peer;
    ASSERT_EQ(peer.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    ASSERT_TRUE(engine_test::SendAll(peer, "GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string answer = engine_test::ReadAtLeast(peer, 1, 10s);
    ASSERT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK");
    ASSERT_FALSE(lingered.load());

    client.reset();
    auto ended = std::async(std::launch::async, [&engine] { engine.reset(); });
    if (ended.wait_for(30s) != std::future_status::ready) {
        // A hung teardown would otherwise hold the test until it is killed.
        std::cerr << "the transceiver's teardown hangs" << std::endl;
        std::abort();
    }
    EXPECT_TRUE(lingered.load());
}
