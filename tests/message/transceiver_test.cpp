#include "foundation/diagnostics.h"
#include "message/transceiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine_loopback.h"
#include "foundation/exception.h"
#include "jobs/kessa_scheduler.h"
#include "message/server_header.h"
#include "message/transceiver_client.h"
#include "message/transceiver_connection.h"
#include "message/transceiver_layer.h"

using namespace engine_test;
using namespace std::chrono_literals;

namespace {

KoTransceiverSettings FastSettings() {
    KoTransceiverSettings settings;
    settings.connectionTimeout = 300ms;
    settings.housekeepingInterval = 50ms;
    return settings;
}

void Drop(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection.name, false);
}

struct EngineFixture : ::testing::Test {
    KoKessaScheduler2 scheduler;
    MessageSink owner;
    std::unique_ptr<KoTransceiver> transceiver = std::make_unique<KoTransceiver>(scheduler, FastSettings());

    struct Registered {
        std::shared_ptr<KoSocketIPvx> peer;
        std::shared_ptr<KoTransceiverConnection> connection;
    };

    Registered Register() {
        auto pair = MakePair();
        EXPECT_TRUE(pair.accepted && pair.peer);
        auto connection = std::make_shared<KoTransceiverConnection>(*transceiver, owner.name, "tag",
                                                                    KoServerCallback_t{5, {}}, Drop);
        transceiver->AddConnection(pair.accepted, connection, "income_tcp://127.0.0.1:1");
        return {pair.peer, connection};
    }
};

// A layer that only counts what the engine asks of it.
class CountingLayer : public KoTransceiverLayer {
public:
    explicit CountingLayer(std::uint64_t timeoutMicros, std::string tag) : KoTransceiverLayer(timeoutMicros), tag(std::move(tag)) {}
    bool start() override { return ++starts, startResult; }
    void stop() override { ++stops; }
    bool attach(KoTransceiver& t) override { attached = &t; return true; }
    void detach(KoTransceiver& t) override { if (attached == &t) attached = nullptr; }
    std::string connectionTagText() const override { return tag; }
    bool takeDescription(std::shared_ptr<KoXHeader>, const std::string&, bool) override { return ++descriptions, true; }

    std::string tag;
    bool startResult = true;
    std::atomic<int> starts{0}, stops{0}, descriptions{0};
    KoTransceiver* attached = nullptr;
};

}  // namespace

TEST_F(EngineFixture, AddConnectionNeedsSocketAndConnection) {
    auto connection = std::make_shared<KoTransceiverConnection>(*transceiver, owner.name, "", KoServerCallback_t{}, Drop);
    try {
        transceiver->AddConnection(nullptr, connection);
        FAIL() << "no exception";
    } catch (const KoException& error) {
        EXPECT_STREQ(error.what(), "socket and connection must be defined");
    }
    EXPECT_THROW(transceiver->AddConnection(std::make_shared<KoSocketIPvx>(), nullptr), KoException);
    EXPECT_EQ(transceiver->ConnectionCount(), 0u);
}

TEST_F(EngineFixture, ReceivedBytesReachTheConnectionInOrder) {
    auto registered = Register();
    EXPECT_EQ(transceiver->ConnectionCount(), 1u);
    EXPECT_EQ(transceiver->ConnectionCount(owner.name), 1u);
    std::string expected;
    for (int i = 0; i < 200; ++i) expected += "chunk" + std::to_string(i) + ";";
    ASSERT_TRUE(SendAll(*registered.peer, expected));
    std::string received;
    ASSERT_TRUE(Eventually([&] {
        registered.connection->TakeInput(received);
        return received.size() >= expected.size();
    }));
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(owner.WaitFor(8, registered.connection->name));
}

TEST_F(EngineFixture, AKnownNameIsRegisteredOnce) {
    auto registered = Register();
    auto pair = MakePair();
    transceiver->AddConnection(pair.accepted, registered.connection);
    EXPECT_EQ(transceiver->ConnectionCount(), 1u);
}

TEST_F(EngineFixture, AConnectionIsFoundByItsNameWhileItIsServedAndNotOnceItIsGone) {
    auto registered = Register();
    auto other = Register();
    // Reading a name registers nothing by itself; the first lookup does.
    const std::string name = registered.connection->name;
    EXPECT_EQ(transceiver->NamedConnectionCount(), 0u);
    EXPECT_EQ(transceiver->FindConnection(name), registered.connection);
    EXPECT_EQ(transceiver->FindConnection(name), registered.connection);
    EXPECT_EQ(transceiver->NamedConnectionCount(), 1u);
    EXPECT_EQ(transceiver->FindConnection("_job*no-such-name"), nullptr);
    Drop(*transceiver, *registered.connection);
    ASSERT_TRUE(Eventually([&] { return transceiver->ConnectionCount() == 1; }));
    EXPECT_EQ(transceiver->FindConnection(name), nullptr);
    EXPECT_EQ(transceiver->NamedConnectionCount(), 0u);
}

TEST_F(EngineFixture, QueuedOutputReachesThePeerWhole) {
    // On a loaded machine the transfer outlasts the fixture's short idle
    // time-out, which then dropped the connection halfway.
    transceiver = std::make_unique<KoTransceiver>(scheduler);
    auto registered = Register();
    // Far more than a socket buffer takes at once: it goes out in parts.
    std::string big(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
    std::size_t accepted = 0;
    registered.connection->QueueBytes(big.data(), big.size(), accepted);
    registered.connection->QueueBytes("END", 3, accepted);
    transceiver->WakeSender();
    const std::string got = ReadAtLeast(*registered.peer, big.size() + 3, 30s);
    ASSERT_EQ(got.size(), big.size() + 3);
    EXPECT_TRUE(got.compare(0, big.size(), big) == 0);
    EXPECT_EQ(got.substr(big.size()), "END");
}

TEST_F(EngineFixture, AClosedPeerIsRemovedAndItsOwnerTold) {
    auto registered = Register();
    const std::string name = registered.connection->name;
    registered.peer.reset();
    ASSERT_TRUE(Eventually([&] { return transceiver->ConnectionCount() == 0; }));
    EXPECT_TRUE(owner.WaitFor(1, name));
    EXPECT_EQ(transceiver->FindConnection(name), nullptr);
}

TEST_F(EngineFixture, AnIdleConnectionIsDroppedAndItsOwnerTold) {
    auto registered = Register();
    auto busy = Register();
    const std::string name = registered.connection->name;
    // Keep one connection busy past the time-out; only the other is idle.
    const auto until = Clock::now() + 600ms;
    while (Clock::now() < until) {
        ASSERT_TRUE(SendAll(*busy.peer, "."));
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_TRUE(owner.WaitFor(1, name, 5s));
    EXPECT_TRUE(ClosesWithin(*registered.peer, 5s));
    EXPECT_EQ(transceiver->FindConnection(name), nullptr);
    EXPECT_NE(transceiver->FindConnection(busy.connection->name), nullptr);
}

TEST_F(EngineFixture, ASilentPeerDoesNotHoldUpTheOthers) {
    // Queuing the flood takes long under a sanitizer on a loaded machine;
    // the fixture's short idle time-out then dropped the lively peer first.
    transceiver = std::make_unique<KoTransceiver>(scheduler);
    auto stalled = Register();
    auto lively = Register();
    // The stalled peer never reads: its socket fills and the rest waits.
    std::string flood(16 * 1024 * 1024, 'x');
    std::size_t accepted = 0;
    stalled.connection->QueueBytes(flood.data(), flood.size(), accepted);
    transceiver->WakeSender();
    for (int round = 0; round < 20; ++round) {
        const std::string text = "round" + std::to_string(round);
        lively.connection->QueueBytes(text.data(), text.size(), accepted);
        transceiver->WakeSender();
        ASSERT_EQ(ReadAtLeast(*lively.peer, text.size(), 2s), text);
    }
    EXPECT_TRUE(stalled.connection->OutputWaiting());
}

TEST_F(EngineFixture, ServesManyConnectionsAtOnce) {
    transceiver = std::make_unique<KoTransceiver>(scheduler);  // no short idle time-out
    constexpr int count = 300;
    std::vector<Registered> all;
    for (int i = 0; i < count; ++i) all.push_back(Register());
    for (int i = 0; i < count; ++i) ASSERT_TRUE(SendAll(*all[i].peer, "n" + std::to_string(i)));
    for (int i = 0; i < count; ++i) {
        const std::string expected = "n" + std::to_string(i);
        std::string got;
        ASSERT_TRUE(Eventually([&] {
            all[i].connection->TakeInput(got);
            return got.size() >= expected.size();
        })) << i;
        EXPECT_EQ(got, expected);
        std::size_t accepted = 0;
        all[i].connection->QueueBytes(got.data(), got.size(), accepted);
    }
    transceiver->WakeSender();
    for (int i = 0; i < count; ++i) {
        const std::string expected = "n" + std::to_string(i);
        EXPECT_EQ(ReadAtLeast(*all[i].peer, expected.size()), expected) << i;
    }
}

TEST_F(EngineFixture, AnIdleEngineUsesNoProcessor) {
    transceiver = std::make_unique<KoTransceiver>(scheduler);  // no short idle time-out
    std::vector<Registered> all;
    for (int i = 0; i < 50; ++i) all.push_back(Register());
    std::this_thread::sleep_for(100ms);
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(2s);
    const double seconds = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    std::cout << "idle processor time over 2 s with 50 connections: " << seconds << " s" << std::endl;
    // A polling loop (2 ms or 1 us waits) burns far more than this.
    EXPECT_LT(seconds, 0.2);
    EXPECT_EQ(transceiver->ConnectionCount(), 50u);
}

TEST_F(EngineFixture, TeardownWithOpenConnectionsEnds) {
    std::vector<Registered> all;
    for (int i = 0; i < 20; ++i) all.push_back(Register());
    std::size_t accepted = 0;
    std::string flood(4 * 1024 * 1024, 'x');
    all[0].connection->QueueBytes(flood.data(), flood.size(), accepted);
    transceiver->WakeSender();
    const auto start = Clock::now();
    transceiver.reset();
    EXPECT_LT(Clock::now() - start, 3s);
    for (auto& registered : all) EXPECT_TRUE(ClosesWithin(*registered.peer, 5s));
}

TEST_F(EngineFixture, ClientsAreRegisteredOnceAndToldOfIt) {
    auto client = std::make_shared<KoTransceiverClient>(KoServerCallback{}, std::map<std::string, std::string>{}, nullptr);
    EXPECT_EQ(transceiver->AddClient(client), client);
    EXPECT_EQ(client->AttachedTransceiver(), transceiver.get());
    EXPECT_EQ(transceiver->AddClient(client), nullptr);
    EXPECT_TRUE(transceiver->HasClient(client->name));
    transceiver->RemoveClient(client);
    EXPECT_FALSE(transceiver->HasClient(client->name));
    EXPECT_EQ(client->AttachedTransceiver(), nullptr);
}

TEST_F(EngineFixture, AddServerBuildsAttachesAndStartsOneLayerPerDescription) {
    auto client = std::make_shared<KoTransceiverClient>(KoServerCallback{}, std::map<std::string, std::string>{}, nullptr);
    transceiver->AddClient(client);
    std::vector<std::shared_ptr<CountingLayer>> built;
    transceiver->SetLayerFactory(3, [&](const KoLayerRequest& request) {
        EXPECT_EQ(request.clientId, client->name);
        auto layer = std::make_shared<CountingLayer>(1000000, request.connectionTag);
        built.push_back(layer);
        return layer;
    });
    auto description = std::make_shared<KoXServerHeader>(3, true);
    std::string name;
    client->AddServerLayer(name, description);
    EXPECT_EQ(name, description->name);
    ASSERT_EQ(built.size(), 1u);
    EXPECT_EQ(built[0]->starts.load(), 1);
    EXPECT_EQ(built[0]->attached, transceiver.get());
    EXPECT_EQ(transceiver->FindServer(built[0]->name), built[0]);
    EXPECT_EQ(client->SourceKind(name), KoTransceiverClient::sourceLayer);
    client->AddServerLayer(name, description);
    EXPECT_EQ(built.size(), 1u);

    // No factory for a known code: a failure, not a silent success.
    EXPECT_THROW(client->AddServerLayer(name, std::make_shared<KoXServerHeader>(9, true)), KoException);

    std::string captured;
    const KoDiagnosticSink previous =
        setDiagnosticSink([&captured](std::string_view line) { captured.append(line).append("\n"); });
    client->AddServerLayer(name, std::make_shared<KoXServerHeader>(5, true));
    setDiagnosticSink(previous);
    EXPECT_EQ(captured, "unknown protocol!! (3)\n");

    transceiver.reset();
    EXPECT_EQ(built[0]->stops.load(), 1);
    EXPECT_EQ(built[0]->attached, nullptr);
}

TEST_F(EngineFixture, AnExpiredConnectingServerIsDroppedAndItsTagTold) {
    auto client = std::make_shared<KoTransceiverClient>(KoServerCallback{}, std::map<std::string, std::string>{}, nullptr);
    transceiver->AddClient(client);
    std::shared_ptr<CountingLayer> layer;
    transceiver->SetLayerFactory(6, [&](const KoLayerRequest&) {
        layer = std::make_shared<CountingLayer>(100000, owner.name);  // 100 ms
        return layer;
    });
    std::string name;
    client->AddServerLayer(name, std::make_shared<KoXServerHeader>(6, true));
    ASSERT_TRUE(layer);
    EXPECT_TRUE(owner.WaitFor(1, layer->name, 5s));
    EXPECT_TRUE(Eventually([&] { return transceiver->FindServer(layer->name) == nullptr; }));
}

TEST_F(EngineFixture, ALayerThatDoesNotStartIsAFailure) {
    auto client = std::make_shared<KoTransceiverClient>(KoServerCallback{}, std::map<std::string, std::string>{}, nullptr);
    transceiver->AddClient(client);
    std::shared_ptr<CountingLayer> layer;
    transceiver->SetLayerFactory(3, [&](const KoLayerRequest&) {
        layer = std::make_shared<CountingLayer>(1000000, "");
        layer->startResult = false;
        return layer;
    });
    std::string name;
    EXPECT_THROW(client->AddServerLayer(name, std::make_shared<KoXServerHeader>(3, true)), KoException);
    EXPECT_EQ(transceiver->FindServer(layer->name), nullptr);
}

TEST_F(EngineFixture, AnswersWrittenAtOnceFromManyThreadsArriveWholeAndInOrder) {
    transceiver = std::make_unique<KoTransceiver>(scheduler);
    auto registered = Register();
    // Pieces of fixed size "t<thread>:<sequence>", padded; together far more
    // than the socket takes at once, so the writers and the send loop meet.
    constexpr int writers = 4;
    constexpr int perWriter = 300;
    constexpr std::size_t pieceSize = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perWriter; ++i) {
                std::string piece = "t" + std::to_string(t) + ":" + std::to_string(i) + ";";
                piece.resize(pieceSize, '.');
                std::size_t accepted = 0;
                registered.connection->QueueBytes(piece.data(), piece.size(), accepted);
                transceiver->SendNow(registered.connection->name);
            }
        });
    }
    const std::size_t total = writers * perWriter * pieceSize;
    const std::string got = ReadAtLeast(*registered.peer, total, 30s);
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(got.size(), total);
    std::vector<int> next(writers, 0);
    for (std::size_t at = 0; at < got.size(); at += pieceSize) {
        const std::string piece = got.substr(at, pieceSize);
        ASSERT_EQ(piece[0], 't') << "at " << at;
        const int t = piece[1] - '0';
        ASSERT_TRUE(t >= 0 && t < writers) << piece.substr(0, 12);
        const auto colon = piece.find(':');
        const auto semicolon = piece.find(';');
        ASSERT_EQ(std::stoi(piece.substr(colon + 1, semicolon - colon - 1)), next[t]) << "writer " << t;
        ++next[t];
        EXPECT_EQ(piece.find_first_not_of('.', semicolon + 1), std::string::npos);
    }
    for (int t = 0; t < writers; ++t) EXPECT_EQ(next[t], perWriter);
}

TEST_F(EngineFixture, SendNowForAConnectionItDoesNotKnowChangesNothing) {
    auto registered = Register();
    transceiver->SendNow("no such connection");
    std::size_t accepted = 0;
    registered.connection->QueueBytes("ping", 4, accepted);
    transceiver->SendNow(registered.connection->name);
    EXPECT_EQ(ReadAtLeast(*registered.peer, 4), "ping");
}

namespace {

// Records on which threads its transport steps run.
class ThreadRecordingConnection : public KoTransceiverConnection {
public:
    using KoTransceiverConnection::KoTransceiverConnection;
    int ReceiveStep(KoSocketIPvx& socket) override {
        note();
        return KoTransceiverConnection::ReceiveStep(socket);
    }
    int SendStep(KoSocketIPvx& socket) override {
        note();
        return KoTransceiverConnection::SendStep(socket);
    }
    std::set<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    void note() {
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(std::this_thread::get_id());
    }
    std::mutex mutex;
    std::set<std::thread::id> seen;
};

}  // namespace

TEST_F(EngineFixture, ConnectionsSpreadOverTheLoopsAndEachIsServedByItsOwn) {
    KoTransceiverSettings settings;
    settings.loops = 3;
    transceiver = std::make_unique<KoTransceiver>(scheduler, settings);
    ASSERT_EQ(transceiver->LoopCount(), 3u);
    struct Served {
        std::shared_ptr<KoSocketIPvx> peer;
        std::shared_ptr<ThreadRecordingConnection> connection;
    };
    std::vector<Served> all;
    for (int i = 0; i < 30; ++i) {
        auto pair = MakePair();
        ASSERT_TRUE(pair.accepted && pair.peer);
        auto connection = std::make_shared<ThreadRecordingConnection>(*transceiver, owner.name, "tag",
                                                                       KoServerCallback_t{5, {}}, Drop);
        transceiver->AddConnection(pair.accepted, connection);
        all.push_back({pair.peer, connection});
    }
    EXPECT_EQ(transceiver->ConnectionsPerLoop(), (std::vector<std::size_t>{10, 10, 10}));
    // Traffic both ways, several times, from the test's thread.
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::string text = "r" + std::to_string(round) + "c" + std::to_string(i);
            ASSERT_TRUE(SendAll(*all[i].peer, text));
            std::string got;
            ASSERT_TRUE(Eventually([&] {
                all[i].connection->TakeInput(got);
                return got.size() >= text.size();
            }));
            std::size_t accepted = 0;
            all[i].connection->QueueBytes(got.data(), got.size(), accepted);
            EXPECT_EQ(ReadAtLeast(*all[i].peer, text.size()), text);
        }
    }
    std::set<std::thread::id> loops;
    for (auto& served : all) {
        const auto threads = served.connection->threads();
        // Never touched by two threads, and never by the one that queued.
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
        loops.insert(*threads.begin());
    }
    EXPECT_EQ(loops.size(), 3u);
}

TEST_F(EngineFixture, IdleConnectionsExpireOnEveryLoop) {
    KoTransceiverSettings settings = FastSettings();
    settings.loops = 2;
    transceiver = std::make_unique<KoTransceiver>(scheduler, settings);
    std::vector<Registered> all;
    for (int i = 0; i < 8; ++i) all.push_back(Register());
    EXPECT_EQ(transceiver->ConnectionsPerLoop(), (std::vector<std::size_t>{4, 4}));
    for (auto& registered : all) {
        EXPECT_TRUE(owner.WaitFor(1, registered.connection->name, 5s));
        EXPECT_TRUE(ClosesWithin(*registered.peer, 5s));
    }
    EXPECT_EQ(transceiver->ConnectionCount(), 0u);
    for (const auto& state : transceiver->LoopStates()) {
        EXPECT_EQ(state.connections, 0u);
        EXPECT_EQ(state.armedTimers, 0u);
    }
}

namespace {

// Closes itself while it serves its input, then asks its loop to keep it,
// as a caller that did not notice the close would.
class SelfClosingConnection : public KoTransceiverConnection {
public:
    using KoTransceiverConnection::KoTransceiverConnection;

protected:
    void inputReady() override {
        transceiver.RemoveConnection(*this, false);
        rest();
        revisit();
    }
};

}  // namespace

// A connection closed on its loop was rested again by the code that had
// served it; freed at the end of the pass, it stayed linked in the loop's
// idle list, and every later rest or expiry wrote through freed memory.
TEST_F(EngineFixture, AConnectionClosedOnItsLoopIsNeverRegisteredWithItAgain) {
    KoTransceiverSettings settings = FastSettings();
    settings.loops = 1;
    transceiver = std::make_unique<KoTransceiver>(scheduler, settings);
    std::vector<std::weak_ptr<KoTransceiverConnection>> gone;
    for (int i = 0; i < 5; ++i) {
        auto pair = MakePair();
        ASSERT_TRUE(pair.accepted && pair.peer);
        auto connection = std::make_shared<SelfClosingConnection>(*transceiver, owner.name, "tag",
                                                                  KoServerCallback_t{5, {}}, Drop);
        transceiver->AddConnection(std::move(pair.accepted), connection);
        gone.push_back(connection);
        connection.reset();
        ASSERT_TRUE(SendAll(*pair.peer, "x"));
        EXPECT_TRUE(ClosesWithin(*pair.peer, 5s));
    }
    ASSERT_TRUE(Eventually([&] { return transceiver->ConnectionCount() == 0; }));
    for (const auto& state : transceiver->LoopStates()) {
        EXPECT_EQ(state.resting, 0u);
        EXPECT_EQ(state.armedTimers, 0u);
    }
    // Released at the end of the pass that let go of it, which may still run.
    EXPECT_TRUE(Eventually([&] {
        for (const auto& connection : gone) {
            if (!connection.expired()) return false;
        }
        return true;
    }));
    // The loop goes on serving.
    Registered live = Register();
    ASSERT_TRUE(SendAll(*live.peer, "ping"));
    std::string got;
    EXPECT_TRUE(Eventually([&] {
        live.connection->TakeInput(got);
        return got == "ping";
    }));
}

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include "platform/descriptor.h"

TEST_F(EngineFixture, ASocketThatAChildStillHoldsDoesNotDisturbTheNextConnectionOnItsNumber) {
    // A script spawned just as a connection closed holds a copy of its
    // socket until it starts its program. The loop counted on the close to
    // take the socket out of its wait set, so it stayed there; when its peer
    // reset it, the loop closed the next connection given the same number.
    KoTransceiverSettings oneLoop = FastSettings();
    oneLoop.loops = 1;
    transceiver = std::make_unique<KoTransceiver>(scheduler, oneLoop);
    KoSocketIPvx listener;
    int port = 0;
    ASSERT_EQ(listener.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    auto firstPeer = std::make_shared<KoSocketIPvx>();
    ASSERT_EQ(firstPeer->Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    auto firstSocket = std::make_shared<KoSocketIPvx>();
    ASSERT_GE(listener.Accept(*firstSocket, 2000, [](KoHostInfo_t&) { return true; }), 0);
    const int number = firstSocket->fd();
    auto secondPeer = std::make_shared<KoSocketIPvx>();
    ASSERT_EQ(secondPeer->Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    // Every free number below the first socket's is taken, so the next
    // accepted socket gets the first one's number once it is free.
    std::vector<platform::Descriptor> fillers;
    for (int i = 0; i < 1000; ++i) {
        platform::Descriptor filler(::dup(2));
        ASSERT_TRUE(filler.valid());
        const bool above = filler.get() > number;
        fillers.push_back(std::move(filler));
        if (above) break;
    }
    ASSERT_GT(fillers.back().get(), number);

    auto first = std::make_shared<KoTransceiverConnection>(*transceiver, owner.name, "tag", KoServerCallback_t{5, {}},
                                                           Drop);
    transceiver->AddConnection(firstSocket, first, "income_tcp://127.0.0.1:1");
    firstSocket.reset();  // the loop holds the only reference, as for an accepted socket
    platform::Descriptor childCopy(::dup(number));
    ASSERT_TRUE(childCopy.valid());
    Drop(*transceiver, *first);
    ASSERT_TRUE(Eventually([&] { return transceiver->ConnectionCount() == 0; }));
    // The loop closes the socket at the end of its pass.
    ASSERT_TRUE(Eventually([&] { return ::fcntl(number, F_GETFD) == -1; }));

    auto secondSocket = std::make_shared<KoSocketIPvx>();
    ASSERT_GE(listener.Accept(*secondSocket, 2000, [](KoHostInfo_t&) { return true; }), 0);
    ASSERT_EQ(secondSocket->fd(), number);
    auto second = std::make_shared<KoTransceiverConnection>(*transceiver, owner.name, "tag",
                                                            KoServerCallback_t{5, {}}, Drop);
    transceiver->AddConnection(secondSocket, second, "income_tcp://127.0.0.1:1");
    secondSocket.reset();
    // The first socket's peer resets it: only the child's copy is left to see it.
    firstPeer->ResetOnClose();
    firstPeer.reset();
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(SendAll(*secondPeer, "still here"));
    std::string received;
    EXPECT_TRUE(Eventually([&] {
        std::string piece;
        second->TakeInput(piece);
        received += piece;
        return received == "still here";
    }, 2s));
    EXPECT_EQ(transceiver->ConnectionCount(), 1u);
}
#endif
