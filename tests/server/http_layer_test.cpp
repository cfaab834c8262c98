#include "server/connection/http_layer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../message/engine_loopback.h"
#include "done_answer.h"
#include "jobs/kessa_scheduler.h"
#include "message/response_header.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/transceiver_client.h"
#include "net/socket_ipvx.h"
#include "platform/socket.h"
#include "server/layers/layer_factories.h"

using namespace std::chrono_literals;

TEST(HttpLayer, EachConnectionsRequestsCarryTheirOwnDescription) {
    // A loop makes the description of its next connection from the last
    // one's: none may carry another's port, and none may miss a value.
    KoKessaScheduler2 scheduler;
    KoTransceiverSettings engine;
    engine.loops = 1;
    KoTransceiver transceiver(scheduler, engine);

    std::mutex seenLock;
    std::vector<KoStringMap> seen;
    std::vector<std::string> servers;
    KoInstallHTTPLayerFactory(transceiver, KoHTTPSettings{}, [&](const std::string&) {
        return KoTransceiverServerL1HTTP::RequestSink([&](const std::string&, std::shared_ptr<KoXHeader> request) {
            {
                std::lock_guard<std::mutex> lock(seenLock);
                seen.push_back(request->description.map());
                servers.push_back(request->serverName);
            }
            return server_test::AnswerDone(transceiver, request);
        });
    });
    std::atomic<int> port{0};
    auto client = std::make_shared<KoTransceiverClient>(
        [&](const KoServerCallback_t& event) {
            if (event.kind == server_event::listening) port = std::stoi(event.values.at("port"));
            return true;
        },
        std::map<std::string, std::string>{}, nullptr);
    ASSERT_TRUE(transceiver.AddClient(client));
    auto header = std::make_shared<KoXServerHeader>(protocol::HTTP, true);
    header->entries["tcp_port"] = "0";
    header->entries["tcp_address"] = "127.0.0.1";
    std::string name;
    client->AddServerLayer(name, header);
    ASSERT_TRUE(engine_test::Eventually([&] { return port.load() != 0; }));

    constexpr std::size_t connections = 4;
    std::vector<std::string> peerPorts;
    for (std::size_t i = 0; i < connections; ++i) {
        KoSocketIPvx peer;
        ASSERT_EQ(peer.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
        const auto local = platform::localAddress(peer.fd() >= 0 ? peer.fd() : peer.fd4());
        ASSERT_TRUE(local.ok());
        peerPorts.push_back(std::to_string(local.value().port()));
        ASSERT_TRUE(engine_test::SendAll(peer, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
        // Read to the server's close: the connection has ended before the next comes.
        EXPECT_EQ(engine_test::ReadAtLeast(peer, 1 << 20, 10s).substr(0, 15), "HTTP/1.1 200 OK");
    }

    std::lock_guard<std::mutex> lock(seenLock);
    ASSERT_EQ(seen.size(), connections);
    for (std::size_t i = 0; i < connections; ++i) {
        const KoStringMap expected{{"ID", servers[i]},
                                   {"localaddress", "127.0.0.1"},
                                   {"localport", std::to_string(port)},
                                   {"localprotocolstring", "http"},
                                   {"remoteaddress", "127.0.0.1"},
                                   {"remoteport", peerPorts[i]}};
        EXPECT_FALSE(servers[i].empty());
        EXPECT_EQ(seen[i], expected) << "connection " << i;
    }
}
