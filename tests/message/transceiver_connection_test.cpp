#include "message/transceiver_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_loopback.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"

using namespace engine_test;

namespace {

struct ConnectionFixture : ::testing::Test {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver{scheduler};
    MessageSink owner;
    KoServerCallback_t record{5, {{"remoteaddress", "127.0.0.1"}}};

    std::shared_ptr<KoTransceiverConnection> Make(KoConnectionHandler handler = {}) {
        return std::make_shared<KoTransceiverConnection>(transceiver, owner.name, "peer", record, handler);
    }
};

std::string Pending(KoTransceiverConnection& connection) {
    std::string out;
    connection.PendingOutput(out);
    return out;
}

}  // namespace

// A thread keeps the names and record of the last connection it made (in
// its per-thread slots), for the next one like it to share; threads that
// come and go at once each have their own.
TEST_F(ConnectionFixture, ConnectionsMadeOneAfterTheOtherOnAThreadShareTheirTexts) {
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([this, t] {
                const std::string peer = "peer " + std::string(40, static_cast<char>('a' + t));
                const KoServerCallback_t own{5, {{"ID", peer}, {"remoteport", std::to_string(t)}}};
                auto first = std::make_shared<KoTransceiverConnection>(transceiver, owner.name, peer, own, nullptr);
                auto second = std::make_shared<KoTransceiverConnection>(transceiver, owner.name, peer, own, nullptr);
                EXPECT_EQ(&first->peer(), &second->peer());  // one copy, shared
                EXPECT_EQ(second->recordValue("ID"), peer);
                EXPECT_EQ(second->recordValue("remoteport"), std::to_string(t));
            });
        }
        for (auto& thread : threads) thread.join();
    }
}

TEST_F(ConnectionFixture, KeepsConstructionArguments) {
    auto connection = Make();
    EXPECT_EQ(connection->owner(), owner.name);
    EXPECT_EQ(connection->peer(), "peer");
    EXPECT_EQ(connection->kind, 5);
    EXPECT_EQ(connection->record().values.at("remoteaddress"), "127.0.0.1");
}

TEST_F(ConnectionFixture, PartialSendLeavesTheRestAtTheHead) {
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("hello ", 6, accepted);
    EXPECT_EQ(accepted, 6u);
    connection->QueueBytes("world", 5, accepted);
    EXPECT_TRUE(connection->OutputWaiting());
    EXPECT_EQ(Pending(*connection), "hello ");

    connection->OutputSent(4);
    EXPECT_EQ(Pending(*connection), "o ");
    EXPECT_TRUE(connection->OutputWaiting());
    connection->OutputSent(2);
    EXPECT_EQ(Pending(*connection), "world");
    EXPECT_EQ(connection->QueuedBytes(), 5u);
    connection->OutputSent(5);
    EXPECT_EQ(Pending(*connection), "");
    EXPECT_FALSE(connection->OutputWaiting());
}

TEST_F(ConnectionFixture, PendingOutputHonoursItsLimit) {
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("abcdef", 6, accepted);
    std::string out;
    connection->PendingOutput(out, 4);
    EXPECT_EQ(out, "abcd");
}

TEST_F(ConnectionFixture, QueuingAnEmptyBufferChangesNothing) {
    auto connection = Make();
    std::unique_ptr<KoStringBuf> buffer;
    connection->QueueBuffer(buffer);
    EXPECT_FALSE(buffer);
    buffer = std::make_unique<KoStringBuf>();
    KoStringBuf* before = buffer.get();
    connection->QueueBuffer(buffer);
    EXPECT_EQ(buffer.get(), before);
    EXPECT_FALSE(connection->OutputWaiting());

    std::size_t accepted = 0;
    connection->QueueBytes("x", 1, accepted);
    std::unique_ptr<KoStringBuf> empty = std::make_unique<KoStringBuf>();
    connection->QueueBuffer(empty);
    EXPECT_TRUE(connection->OutputWaiting());
    EXPECT_EQ(connection->QueuedBytes(), 1u);
}

TEST_F(ConnectionFixture, QueueBufferTakesTheUnreadBytesAndHandsBackAFreshBuffer) {
    auto connection = Make();
    auto buffer = std::make_unique<KoStringBuf>();
    buffer->sputn("skipbody", 8);
    char skipped[4];
    buffer->sgetn(skipped, 4);
    KoStringBuf* before = buffer.get();
    connection->QueueBuffer(buffer);
    ASSERT_TRUE(buffer);
    EXPECT_NE(buffer.get(), before);
    EXPECT_EQ(buffer->str(), "");
    EXPECT_EQ(Pending(*connection), "body");
}

TEST_F(ConnectionFixture, TakeInputGivesTheBytesOnce) {
    auto connection = Make();
    connection->InputArrived("abc", 3);
    connection->InputArrived("def", 3);
    EXPECT_TRUE(connection->InputWaiting());
    KoStringBuf first;
    connection->TakeInput(first);
    EXPECT_EQ(first.str(), "abcdef");
    EXPECT_FALSE(connection->InputWaiting());
    std::string second;
    connection->TakeInput(second);
    EXPECT_EQ(second, "");
}

TEST_F(ConnectionFixture, InputTellsTheOwnerByCode8) {
    auto connection = Make();
    EXPECT_EQ(connection->InputArrived(nullptr, 0), 0);
    EXPECT_EQ(connection->InputArrived("x", 0), 0);
    EXPECT_EQ(connection->InputArrived("xy", 2), 2);
    ASSERT_TRUE(owner.WaitFor(8, connection->name));
    EXPECT_EQ(owner.Count(8), 1u);
}

TEST_F(ConnectionFixture, ResetDropsInputAndOutput) {
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("out", 3, accepted);
    connection->InputArrived("in", 2);
    connection->Reset();
    EXPECT_FALSE(connection->OutputWaiting());
    EXPECT_FALSE(connection->InputWaiting());
    EXPECT_EQ(Pending(*connection), "");
    std::string input;
    connection->TakeInput(input);
    EXPECT_EQ(input, "");
}

struct HandlerCalls {
    static inline int calls = 0;
    static inline KoTransceiver* transceiver = nullptr;
    static inline KoTransceiverConnection* connection = nullptr;
    static void Count(KoTransceiver& t, KoTransceiverConnection& c) {
        ++calls;
        transceiver = &t;
        connection = &c;
    }
};

TEST_F(ConnectionFixture, ProcessClearsAliveAndCallsTheHandler) {
    auto connection = Make(&HandlerCalls::Count);
    connection->Process();
    EXPECT_EQ(HandlerCalls::calls, 1);
    EXPECT_EQ(HandlerCalls::transceiver, &transceiver);
    EXPECT_EQ(HandlerCalls::connection, connection.get());
    auto bare = Make();
    EXPECT_THROW(bare->Process(), std::bad_function_call);
}

// The peer's port is kept as a number only where the number gives the same
// text back; every form reads back as it was given, by each way of asking.
TEST_F(ConnectionFixture, TheRemotePortReadsBackAsGivenInEveryForm) {
    for (const std::string port : {"0", "80", "65535", "080", "65536", "-1", "", "8o", "123456"}) {
        SCOPED_TRACE("port \"" + port + "\"");
        const KoServerCallback_t given{5, {{"ID", "x"}, {"remoteaddress", "::1"}, {"remoteport", port}}};
        auto connection = std::make_shared<KoTransceiverConnection>(transceiver, owner.name, "peer", given, nullptr);
        EXPECT_EQ(connection->recordValue("remoteport"), port);
        EXPECT_EQ(connection->recordValues(), given.values);
        EXPECT_EQ(connection->record().values, given.values);
        KoStringMap visited;
        connection->forEachRecordValue([&](const std::string& key, const std::string& value) {
            EXPECT_TRUE(visited.empty() || visited.rbegin()->first < key) << key;  // in key order
            visited[key] = value;
        });
        EXPECT_EQ(visited, given.values);
    }
}

TEST_F(ConnectionFixture, StepsMoveBytesOverASocket) {
    auto pair = MakePair();
    ASSERT_TRUE(pair.accepted && pair.peer);
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("ping", 4, accepted);
    EXPECT_EQ(connection->SendStep(*pair.accepted), 4);
    EXPECT_EQ(ReadAtLeast(*pair.peer, 4), "ping");
    EXPECT_EQ(connection->SendStep(*pair.accepted), KoTransceiverConnection::stepWouldBlock);

    EXPECT_EQ(connection->ReceiveStep(*pair.accepted), KoTransceiverConnection::stepWouldBlock);
    ASSERT_TRUE(SendAll(*pair.peer, "pong"));
    ASSERT_TRUE(Eventually([&] { return connection->ReceiveStep(*pair.accepted) > 0; }));
    std::string input;
    connection->TakeInput(input);
    EXPECT_EQ(input, "pong");

    pair.peer.reset();
    EXPECT_TRUE(Eventually([&] { return connection->ReceiveStep(*pair.accepted) == KoTransceiverConnection::stepClosed; }));
}

TEST_F(ConnectionFixture, SentBytesMaySpanSeveralTexts) {
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("hello ", 6, accepted);
    connection->QueueBytes("wor", 3, accepted);
    connection->QueueBytes("ld", 2, accepted);
    std::string gathered;
    connection->GatherOutput(gathered, 8);
    EXPECT_EQ(gathered, "hello wo");
    connection->OutputSent(8);
    EXPECT_EQ(Pending(*connection), "r");
    connection->GatherOutput(gathered, 100);
    EXPECT_EQ(gathered, "rld");
    EXPECT_EQ(connection->QueuedBytes(), 3u);
    connection->OutputSent(3);
    EXPECT_FALSE(connection->OutputWaiting());
    EXPECT_EQ(connection->QueuedBytes(), 0u);
}

TEST_F(ConnectionFixture, OneSendStepWritesEveryQueuedTextInOrder) {
    auto pair = MakePair();
    ASSERT_TRUE(pair.accepted && pair.peer);
    auto connection = Make();
    std::size_t accepted = 0;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
    connection->QueueBytes(head.data(), head.size(), accepted);
    connection->QueueBytes("body", 4, accepted);
    EXPECT_EQ(connection->SendStep(*pair.accepted), static_cast<int>(head.size() + 4));
    EXPECT_FALSE(connection->OutputWaiting());
    EXPECT_EQ(ReadAtLeast(*pair.peer, head.size() + 4), head + "body");
    EXPECT_EQ(connection->SendStep(*pair.accepted), KoTransceiverConnection::stepWouldBlock);
}
