#include "server/layers/direct_socket_layer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "echo_layer.h"
#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "net/socket_ipvx.h"
#include "server/layers/velko_layer.h"

using namespace std::chrono_literals;

namespace {

KoServerSettings FastServer() {
    KoServerSettings settings;
    settings.acceptWaitMs = 100;
    settings.teardownPoll = 10ms;
    return settings;
}

std::shared_ptr<KoXServerHeader> Header(std::int32_t code) {
    auto header = std::make_shared<KoXServerHeader>(code, true);
    header->entries["tcp_port"] = "0";
    header->entries["tcp_address"] = "127.0.0.1";
    return header;
}

class Inbox {
public:
    int Take(const std::string&, std::shared_ptr<KoXHeader> message) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(message));
        arrived.notify_all();
        return 1;
    }
    // All bodies once they add up to size bytes.
    bool WaitForBytes(std::size_t size, std::string& joined) {
        std::unique_lock<std::mutex> lock(mutex);
        const bool got = arrived.wait_for(lock, 10s, [&] { return JoinedLocked().size() >= size; });
        joined = JoinedLocked();
        return got;
    }
    std::vector<std::shared_ptr<KoXHeader>> All() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

private:
    std::string JoinedLocked() const {
        std::string all;
        for (const auto& message : messages) all += message->Body();
        return all;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::shared_ptr<KoXHeader>> messages;
};

std::string ReadAtLeast(KoSocketIPvx& socket, std::size_t size) {
    std::string got;
    char buffer[4096];
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (got.size() < size && !socket.closed() && std::chrono::steady_clock::now() < end) {
        std::size_t n = 0;
        socket.Receive(buffer, sizeof buffer, n);
        if (n == 0) std::this_thread::sleep_for(5ms);
        got.append(buffer, n);
    }
    return got;
}

class DirectSocket : public ::testing::Test {
protected:
    void SetUp() override { transceiver = std::make_unique<KoTransceiver>(scheduler); }
    void TearDown() override {
        layer.reset();
        transceiver.reset();
    }
    int Start() {
        layer = std::shared_ptr<KoTransceiverServerL1DirectSocket>(
            new KoTransceiverServerL1DirectSocket(
                scheduler, *transceiver, "client", "server", "tag", Header(9), log.callback(),
                [this](const std::string& source, std::shared_ptr<KoXHeader> message) {
                    return inbox.Take(source, std::move(message));
                },
                FastServer()),
            KoJobDeleter());
        layer->attach(*transceiver);
        EXPECT_TRUE(layer->start());
        EXPECT_TRUE(log.WaitForKind(server_event::listening));
        return layer->BoundPort();
    }

    KoKessaScheduler2 scheduler;
    std::unique_ptr<KoTransceiver> transceiver;
    std::shared_ptr<KoTransceiverServerL1DirectSocket> layer;
    server_test::EventLog log;
    Inbox inbox;
};

}  // namespace

TEST_F(DirectSocket, BytesArriveAsMessageBodiesWhateverTheyHold) {
    const int port = Start();
    KoSocketIPvx peer;
    ASSERT_EQ(peer.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    const std::string bytes("GET / HTTP/1.1\r\n\0\xff\r\n\r\nVELKO/1.0", 32);
    std::size_t sent = 0;
    peer.Send(bytes.data(), bytes.size(), sent);
    std::string joined;
    ASSERT_TRUE(inbox.WaitForBytes(bytes.size(), joined));
    EXPECT_EQ(joined, bytes);
    for (const auto& message : inbox.All()) {
        EXPECT_EQ(message->ProtocolCode(), 9);
        EXPECT_EQ(message->messageKind.load(), message_kind::Request);
        EXPECT_FALSE(message->Body().empty());
        EXPECT_EQ(message->serverName, layer->name);
        EXPECT_EQ(message->description["remoteaddress"], "127.0.0.1");
    }
}

TEST_F(DirectSocket, WritesBodiesUnchangedAndReportsKindSix) {
    const int port = Start();
    KoSocketIPvx peer;
    ASSERT_EQ(peer.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    std::size_t sent = 0;
    peer.Send("ping", 4, sent);
    std::string joined;
    ASSERT_TRUE(inbox.WaitForBytes(4, joined));
    auto incoming = inbox.All().front();

    auto answer = std::make_shared<KoXHeader>(method_code::NONE, false, 9);
    const std::string reply("po\0ng\r\n", 7);
    answer->AppendInput(reply);
    answer->description["note"] = "kept";
    EXPECT_TRUE(layer->writeMessage(incoming->connectionName, answer));
    EXPECT_EQ(ReadAtLeast(peer, reply.size()), reply);
    ASSERT_TRUE(log.WaitForKind(server_event::rawBytesSent));
    auto event = log.OfKind(server_event::rawBytesSent).front();
    EXPECT_EQ(event.values["bytes"], "7");
    EXPECT_EQ(event.values["ID"], layer->name);
    EXPECT_EQ(event.values["note"], "kept");
    // A connection that has gone: nothing is sent, the call still succeeds.
    EXPECT_TRUE(layer->writeMessage("no such connection", answer));
    EXPECT_EQ(log.Count(server_event::rawBytesSent), 1u);
}

TEST(KoTransceiverServerL1VELKO, StampsCodeSix) {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver(scheduler);
    KoTransceiverServerL1VELKO layer(scheduler, transceiver, "client", "server", "tag", Header(6), nullptr, nullptr);
    EXPECT_EQ(layer.protocolCode, 6);
    EXPECT_EQ(layer.protocolName, "VELKO");
}
