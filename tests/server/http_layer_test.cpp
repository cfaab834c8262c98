#include "server/connection/http_layer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../message/engine_loopback.h"
#include "done_answer.h"
#include "jobs/kessa_scheduler.h"
#include "message/event_loop.h"
#include "message/response_header.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/transceiver_client.h"
#include "net/socket_ipvx.h"
#include "platform/socket.h"
#include "server/layers/layer_factories.h"

using namespace std::chrono_literals;

namespace {

KoTransceiverSettings OneLoop() {
    KoTransceiverSettings engine;
    engine.loops = 1;
    return engine;
}

// An HTTP layer on loopback, served by one loop, whose requests go to sink.
struct LoopbackLayer {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver{scheduler, OneLoop()};
    std::atomic<int> port{0};
    std::shared_ptr<KoTransceiverClient> client;

    // False when it did not come to listen.
    bool start(KoTransceiverServerL1HTTP::RequestSink sink) {
        KoInstallHTTPLayerFactory(transceiver, KoHTTPSettings{}, [sink](const std::string&) { return sink; });
        client = std::make_shared<KoTransceiverClient>(
            [this](const KoServerCallback_t& event) {
                if (event.kind == server_event::listening) port = std::stoi(event.values.at("port"));
                return true;
            },
            std::map<std::string, std::string>{}, nullptr);
        if (!transceiver.AddClient(client)) return false;
        auto header = std::make_shared<KoXServerHeader>(protocol::HTTP, true);
        header->entries["tcp_port"] = "0";
        header->entries["tcp_address"] = "127.0.0.1";
        std::string name;
        client->AddServerLayer(name, header);
        return engine_test::Eventually([&] { return port.load() != 0; });
    }
};

std::shared_ptr<KoXResponseHeader> Answer(const KoXHeader& request, const std::string& body) {
    auto response = request.MakeAnswer();
    response->statusCode = 200;
    response->Input().sputn(body.data(), static_cast<std::streamsize>(body.size()));
    response->setState(header_state::Complete);
    return response;
}

}  // namespace

TEST(HttpLayer, EachConnectionsRequestsCarryTheirOwnDescription) {
    // A loop makes the description of its next connection from the last
    // one's: none may carry another's port, and none may miss a value.
    std::mutex seenLock;
    std::vector<KoStringMap> seen;
    std::vector<std::string> servers;
    LoopbackLayer layer;
    ASSERT_TRUE(layer.start([&](const std::string&, std::shared_ptr<KoXHeader> request) {
        {
            std::lock_guard<std::mutex> lock(seenLock);
            seen.push_back(request->description.map());
            servers.push_back(request->serverName);
        }
        return server_test::AnswerDone(layer.transceiver, request);
    }));
    const int port = layer.port;

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

TEST(HttpLayer, AnAnswerForAnEarlierRequestIsNeverWrittenForALaterOne) {
    // The layer answers the first request itself (500: its handler said it
    // answered, and did not) while the handler keeps it. The connection then
    // rests through a quiet loop, which lets go of its request state. The
    // handler's late answer to the first request must not become the
    // second's.
    std::mutex keptLock;
    std::vector<std::shared_ptr<KoXHeader>> kept;
    LoopbackLayer layer;
    ASSERT_TRUE(layer.start([&](const std::string&, std::shared_ptr<KoXHeader> request) {
        std::lock_guard<std::mutex> lock(keptLock);
        kept.push_back(request);
        return kept.size() == 1 ? 1 : KoTransceiverServerL1HTTP::answerPending;
    }));

    KoSocketIPvx peer;
    ASSERT_EQ(peer.Connect("127.0.0.1", layer.port), KoSocketIPvx::statusOk);
    ASSERT_TRUE(engine_test::SendAll(peer, "GET /first HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(engine_test::ReadAtLeast(peer, 12).substr(0, 12), "HTTP/1.1 500");
    // Several of the loop's quiet waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(KoEventLoop::quietWaitMs * 4));
    ASSERT_TRUE(engine_test::SendAll(peer, "GET /second HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    ASSERT_TRUE(engine_test::Eventually([&] {
        std::lock_guard<std::mutex> lock(keptLock);
        return kept.size() == 2;
    }));
    std::lock_guard<std::mutex> lock(keptLock);
    for (const auto& [request, body] : {std::pair{kept[0], "stale"}, std::pair{kept[1], "fresh"}}) {
        auto sink = request->answerSink.lock();
        ASSERT_TRUE(sink);
        sink->answer(Answer(*request, body));
    }
    const std::string second = engine_test::ReadAtLeast(peer, 1 << 20, 10s);
    EXPECT_NE(second.find("\r\n\r\nfresh"), std::string::npos) << second;
    EXPECT_EQ(second.find("stale"), std::string::npos) << second;
}
