#include "net/socket_ipvx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/diagnostics.h"
#include "platform/poller.h"
#include "platform/socket.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const KoHostFilter admitAll = [](KoHostInfo_t&) { return true; };

// A listener on loopback with one accepted connection and its client.
struct Link {
    KoSocketIPvx server;
    KoSocketIPvx accepted;
    KoSocketIPvx client;
    int port = 0;
};

std::unique_ptr<Link> makeLink(const std::string& address = "127.0.0.1") {
    auto link = std::make_unique<Link>();
    EXPECT_EQ(link->server.Listen(address, link->port, 16), KoSocketIPvx::statusOk);
    EXPECT_EQ(link->client.Connect(address, link->port), KoSocketIPvx::statusOk);
    EXPECT_GE(link->server.Accept(link->accepted, 5000, admitAll), 0);
    return link;
}

// Reads until want bytes came or the peer closed, within a bounded number of
// waits.
std::string receiveAll(KoSocketIPvx& socket, std::size_t want) {
    std::string got;
    char buffer[4096];
    for (int pass = 0; pass < 500 && got.size() < want && !socket.closed(); ++pass) {
        socket.WaitReadable(10, socket.fd());
        std::size_t received = 0;
        socket.Receive(buffer, sizeof buffer, received);
        got.append(buffer, received);
    }
    return got;
}

bool isLinkLocal(const std::string& address) { return address.rfind("fe80:", 0) == 0; }

bool hasLocalAddress(const std::string& address) {
    const auto all = platform::localInterfaceAddresses();
    return std::find(all.begin(), all.end(), address) != all.end();
}

}  // namespace

TEST(KoSocketIPvx, StartsEmpty) {
    KoSocketIPvx socket;
    EXPECT_EQ(socket.port(), -1);
    EXPECT_FALSE(socket.listening());
    EXPECT_TRUE(socket.closed());
    EXPECT_FALSE(socket.ready());
    EXPECT_EQ(socket.lastError(), 0);
    EXPECT_FALSE(socket.named());
    EXPECT_EQ(socket.fd(), -1);
    EXPECT_EQ(socket.fd4(), -1);
    EXPECT_EQ(socket.HostName(), "");
    EXPECT_EQ(socket.ServiceName(), "");
}

TEST(KoSocketIPvx, PortZeroReportsTheChosenPort) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("", port, 16), KoSocketIPvx::statusOk);
    EXPECT_GT(port, 0);
    EXPECT_EQ(server.port(), port);
    EXPECT_TRUE(server.listening());
    for (int fd : {server.fd(), server.fd4()}) {
        if (fd >= 0) {
            auto local = platform::localAddress(fd);
            ASSERT_TRUE(local.ok());
            EXPECT_EQ(local.value().port(), port);
        }
    }
}

// "localhost" has an address of each family; with port 0 both must share
// the one chosen port, not take two different ones.
TEST(KoSocketIPvx, BothFamiliesShareTheChosenPort) {
    if (!hasLocalAddress("::1")) GTEST_SKIP() << "no IPv6 loopback on this machine";
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("localhost", port, 16), KoSocketIPvx::statusOk);
    if (server.fd() < 0 || server.fd4() < 0) GTEST_SKIP() << "localhost resolves to one family here";
    EXPECT_EQ(platform::localAddress(server.fd()).value().port(), port);
    EXPECT_EQ(platform::localAddress(server.fd4()).value().port(), port);
}

TEST(KoSocketIPvx, TakenPortGivesCouldNotBind) {
    KoSocketIPvx first;
    int port = 0;
    ASSERT_EQ(first.Listen("", port, 16), KoSocketIPvx::statusOk);

    KoSocketIPvx second;
    int again = port;
    CaptureStderr();
    EXPECT_EQ(second.Listen("", again, 16), KoSocketIPvx::statusListenFailed);
    EXPECT_EQ(GetCapturedStderr(), "Could not bind * port " + std::to_string(port) + ": Address already in use\n");
    EXPECT_FALSE(second.listening());
    EXPECT_EQ(second.port(), -1);
    EXPECT_EQ(second.fd(), -1);
    EXPECT_EQ(second.fd4(), -1);
}

// A bind failure said only "Could not bind": not which address and port,
// nor why (taken, or an address that is not this machine's).
TEST(KoSocketIPvx, ABindFailureNamesTheAddressThePortAndWhy) {
    KoSocketIPvx first;
    int taken = 0;
    ASSERT_EQ(first.Listen("127.0.0.1", taken, 16), KoSocketIPvx::statusOk);
    struct Row {
        std::string address;
        int port;
        std::string reason;
    };
    const Row rows[] = {
        {"127.0.0.1", taken, "Address already in use"},
        {"192.0.2.1", 0, "Cannot assign requested address"},  // documentation range: never local
    };
    for (const auto& row : rows) {
        std::vector<std::string> lines;
        const auto previous = setDiagnosticSink([&lines](std::string_view line) { lines.emplace_back(line); });
        KoSocketIPvx server;
        int port = row.port;
        EXPECT_EQ(server.Listen(row.address, port, 16), KoSocketIPvx::statusListenFailed) << row.address;
        setDiagnosticSink(previous);
        EXPECT_EQ(server.listenFailure(), row.reason) << row.address;
        EXPECT_EQ(lines, std::vector<std::string>{"Could not bind " + row.address + " port " +
                                                  std::to_string(row.port) + ": " + row.reason});
    }
    int free = 0;
    EXPECT_EQ(first.listenFailure(), "");
    KoSocketIPvx later;
    ASSERT_EQ(later.Listen("127.0.0.1", free, 16), KoSocketIPvx::statusOk);
    EXPECT_EQ(later.listenFailure(), "");
}

TEST(KoSocketIPvx, UnresolvableListenAddressGivesGetaddrinfoLine) {
    KoSocketIPvx server;
    int port = 0;
    CaptureStderr();
    EXPECT_EQ(server.Listen("no-such-host.invalid", port, 16), KoSocketIPvx::statusListenFailed);
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(text.rfind("getaddrinfo: ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("getaddrinfo: \n").size());
}

TEST(KoSocketIPvx, AcceptNamesThePeerAndCarriesBytesBothWays) {
    auto link = makeLink();
    EXPECT_TRUE(link->accepted.named());
    EXPECT_FALSE(link->accepted.closed());
    EXPECT_EQ(link->accepted.HostName(), "127.0.0.1");
    EXPECT_EQ(link->accepted.ServiceName(),
              std::to_string(platform::localAddress(link->client.fd()).value().port()));
    EXPECT_FALSE(link->client.closed());

    std::size_t sent = 0;
    EXPECT_EQ(link->client.Send("hello", 5, sent), KoSocketIPvx::statusOk);
    EXPECT_EQ(sent, 5u);
    EXPECT_EQ(receiveAll(link->accepted, 5), "hello");

    const std::string answer(100000, 'a');
    std::size_t total = 0;
    // Non-blocking: a big send may go out in parts, reported as short sends.
    for (int pass = 0; pass < 1000 && total < answer.size(); ++pass) {
        std::size_t part = 0;
        const int status = link->accepted.Send(answer.data() + total, answer.size() - total, part);
        EXPECT_EQ(status, total + part == answer.size() ? KoSocketIPvx::statusOk : KoSocketIPvx::statusShortSend);
        total += part;
        if (total < answer.size()) platform::waitDescriptor(link->accepted.fd(), platform::writable, 10);
        receiveAll(link->client, 0);
    }
    EXPECT_EQ(total, answer.size());
}

TEST(KoSocketIPvx, AcceptedAndConnectedSocketsDoNotBlock) {
    auto link = makeLink();
    for (int fd : {link->accepted.fd(), link->client.fd()}) {
        auto nonBlocking = platform::isNonBlocking(fd);
        ASSERT_TRUE(nonBlocking.ok());
        EXPECT_TRUE(nonBlocking.value());
    }
    // Nothing sent yet: an empty receive, no line, no error, still open.
    char buffer[16];
    std::size_t received = 99;
    CaptureStderr();
    EXPECT_EQ(link->accepted.Receive(buffer, sizeof buffer, received), KoSocketIPvx::statusOk);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(link->accepted.closed());
    EXPECT_EQ(link->accepted.lastError(), 0);
}

TEST(KoSocketIPvx, AcceptWithNobodyWaitingTimesOut) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    KoSocketIPvx connection;
    EXPECT_EQ(server.Accept(connection, 10, admitAll), -1);
    EXPECT_FALSE(server.ready());
    EXPECT_EQ(connection.fd(), -1);

    KoSocketIPvx notListening;
    EXPECT_EQ(notListening.Accept(connection, 10, admitAll), -1);
}

TEST(KoSocketIPvx, RefusingFilterLeavesNoDescriptor) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    KoSocketIPvx client;
    ASSERT_EQ(client.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);

    KoHostInfo_t seen;
    KoSocketIPvx connection;
    const KoHostFilter refuse = [&seen](KoHostInfo_t& peer) {
        seen = peer;
        return false;
    };
    EXPECT_EQ(server.Accept(connection, 5000, refuse), -1);
    EXPECT_EQ(connection.fd(), -1);
    EXPECT_EQ(seen.address, "127.0.0.1");
    EXPECT_EQ(seen.port, std::to_string(platform::localAddress(client.fd()).value().port()));
    // The refused peer sees its connection end.
    receiveAll(client, 1);
    EXPECT_TRUE(client.closed());
}

TEST(KoSocketIPvx, EmptyFilterThrowsBeforeAccepting) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    KoSocketIPvx client;
    ASSERT_EQ(client.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    KoSocketIPvx connection;
    EXPECT_THROW(server.Accept(connection, 5000, KoHostFilter{}), std::bad_function_call);
    EXPECT_EQ(connection.fd(), -1);
    // The waiting peer is still there for a proper accept.
    EXPECT_GE(server.Accept(connection, 5000, admitAll), 0);
}

TEST(KoSocketIPvx, ReceiveAfterPeerClosedGivesZeroTwice) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    KoSocketIPvx accepted;
    {
        KoSocketIPvx client;
        ASSERT_EQ(client.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
        ASSERT_GE(server.Accept(accepted, 5000, admitAll), 0);
    }
    ASSERT_TRUE(accepted.WaitReadable(5000, accepted.fd()));
    EXPECT_TRUE(accepted.ready());
    char buffer[16];
    for (int call = 0; call < 2; ++call) {
        std::size_t received = 99;
        CaptureStderr();
        EXPECT_EQ(accepted.Receive(buffer, sizeof buffer, received), KoSocketIPvx::statusOk);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(received, 0u);
        EXPECT_TRUE(accepted.closed());
    }
}

// Receiving into no room used to look exactly like the peer closing.
TEST(KoSocketIPvx, ReceiveIntoNoRoomIsNotAnEnd) {
    auto link = makeLink();
    std::size_t sent = 0;
    link->client.Send("x", 1, sent);
    ASSERT_TRUE(link->accepted.WaitReadable(5000, link->accepted.fd()));
    std::size_t received = 99;
    EXPECT_EQ(link->accepted.Receive(nullptr, 0, received), KoSocketIPvx::statusOk);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(link->accepted.closed());
    EXPECT_EQ(receiveAll(link->accepted, 1), "x");
}

TEST(KoSocketIPvx, ReceiveIfReadyWaitsOnlyBriefly) {
    KoSocketSettings quick;
    quick.receiveIfReadyWait = std::chrono::milliseconds(0);
    auto link = makeLink();
    KoSocketIPvx unconnected(quick);
    char buffer[16];
    std::size_t received = 99;
    EXPECT_EQ(unconnected.ReceiveIfReady(buffer, sizeof buffer, received), KoSocketIPvx::statusOk);
    EXPECT_EQ(received, 0u);

    received = 99;
    EXPECT_EQ(link->accepted.ReceiveIfReady(buffer, sizeof buffer, received), KoSocketIPvx::statusOk);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(link->accepted.ready());

    std::size_t sent = 0;
    link->client.Send("ping", 4, sent);
    std::string got;
    for (int pass = 0; pass < 5000 && got.size() < 4; ++pass) {
        link->accepted.ReceiveIfReady(buffer, sizeof buffer, received);
        got.append(buffer, received);
    }
    EXPECT_EQ(got, "ping");
}

TEST(KoSocketIPvx, FailedReceiveWritesTheErrorLine) {
    KoSocketIPvx socket;
    char buffer[4];
    std::size_t received = 99;
    CaptureStderr();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer, received), KoSocketIPvx::statusOk);
    const int badDescriptor = socket.lastError();
    EXPECT_EQ(GetCapturedStderr(), "KoSocketIPvx::Receive(): error in read (errno=" +
                                       std::to_string(badDescriptor) + ") " + platform::errorText(badDescriptor) +
                                       "\n");
    EXPECT_NE(badDescriptor, 0);
    EXPECT_EQ(received, 0u);
    // A failed receive is not an end of stream.
    EXPECT_TRUE(socket.closed());
}

// A send without a socket used to report success while dropping the bytes.
TEST(KoSocketIPvx, SendWithoutSocketSaysSoAndFails) {
    KoSocketIPvx socket;
    std::size_t sent = 99;
    CaptureStderr();
    EXPECT_EQ(socket.Send("abc", 3, sent), KoSocketIPvx::statusShortSend);
    EXPECT_EQ(GetCapturedStderr(), "no socket\n");
    EXPECT_EQ(sent, 0u);
}

// Writing to a peer that has gone must end in a status, not in SIGPIPE.
TEST(KoSocketIPvx, SendToAClosedPeerDoesNotRaiseSigpipe) {
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    KoSocketIPvx client;
    ASSERT_EQ(client.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    {
        KoSocketIPvx accepted;
        ASSERT_GE(server.Accept(accepted, 5000, admitAll), 0);
    }
    receiveAll(client, 1);
    ASSERT_TRUE(client.closed());
    const std::string data(4096, 'z');
    int status = KoSocketIPvx::statusOk;
    for (int pass = 0; pass < 100 && status == KoSocketIPvx::statusOk; ++pass) {
        std::size_t sent = 0;
        status = client.Send(data.data(), data.size(), sent);
    }
    EXPECT_EQ(status, KoSocketIPvx::statusShortSend);
}

TEST(KoSocketIPvx, UnresolvableHostGivesGetaddrinfoLine) {
    KoSocketIPvx client;
    CaptureStderr();
    EXPECT_EQ(client.Connect("no-such-host.invalid", 80), KoSocketIPvx::statusConnectFailed);
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(text.rfind("getaddrinfo: ", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("getaddrinfo: \n").size());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(client.fd(), -1);
}

TEST(KoSocketIPvx, RefusedConnectGivesCouldNotConnect) {
    int port = 0;
    {
        KoSocketIPvx gone;
        ASSERT_EQ(gone.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    }
    KoSocketIPvx client;
    CaptureStderr();
    EXPECT_EQ(client.Connect("127.0.0.1", port), KoSocketIPvx::statusConnectFailed);
    const std::string text = GetCapturedStderr();
    EXPECT_EQ(text.rfind("Could not connect, fd: ", 0), 0u) << text;
    EXPECT_EQ(client.fd(), -1);
    EXPECT_TRUE(client.closed());
}

// The listener used to bind every interface whatever address it was given,
// so a server meant for 127.0.0.1 was reachable from the network.
TEST(KoSocketIPvx, LoopbackServerIsNotReachableThroughOtherAddresses) {
    std::vector<std::string> others;
    for (const auto& address : platform::localInterfaceAddresses()) {
        if (address != "127.0.0.1" && !isLinkLocal(address)) others.push_back(address);
    }
    if (others.empty()) GTEST_SKIP() << "this machine has no local address besides 127.0.0.1";

    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    EXPECT_EQ(server.fd(), -1);
    EXPECT_GE(server.fd4(), 0);
    for (const auto& address : others) {
        KoSocketIPvx client;
        CaptureStderr();
        EXPECT_EQ(client.Connect(address, port), KoSocketIPvx::statusConnectFailed) << address;
        GetCapturedStderr();
    }
    KoSocketIPvx local;
    EXPECT_EQ(local.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
}

TEST(KoSocketIPvx, WildcardServerTakesBothFamilies) {
    if (!hasLocalAddress("::1")) GTEST_SKIP() << "no IPv6 loopback on this machine";
    for (const std::string wildcard : {"::", "0.0.0.0", ""}) {
        KoSocketIPvx server;
        int port = 0;
        ASSERT_EQ(server.Listen(wildcard, port, 16), KoSocketIPvx::statusOk);
        for (const std::string peer : {"::1", "127.0.0.1"}) {
            KoSocketIPvx client;
            ASSERT_EQ(client.Connect(peer, port), KoSocketIPvx::statusOk) << wildcard << " from " << peer;
            KoSocketIPvx connection;
            ASSERT_GE(server.Accept(connection, 5000, admitAll), 0);
            EXPECT_NE(connection.HostName().find(peer), std::string::npos) << connection.HostName();
        }
    }
}

TEST(KoSocketIPvx, InstanceCounterSurvivesManyThreads) {
    const int before = KoSocketIPvx::instanceCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                KoSocketIPvx socket;
                KoSocketIPvx other;
            }
        });
    }
    {
        KoSocketIPvx held;
        EXPECT_GE(KoSocketIPvx::instanceCount(), before + 1);
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(KoSocketIPvx::instanceCount(), before + 1);
    }
    EXPECT_EQ(KoSocketIPvx::instanceCount(), before);
}

// One thread receives while another sends on the same connection.
TEST(KoSocketIPvx, SendAndReceiveRunTogether) {
    auto link = makeLink();
    const std::string message(200000, 'm');
    std::thread writer([&link, &message] {
        std::size_t total = 0;
        for (int pass = 0; pass < 20000 && total < message.size(); ++pass) {
            std::size_t part = 0;
            link->client.Send(message.data() + total, message.size() - total, part);
            total += part;
            if (total < message.size()) platform::waitDescriptor(link->client.fd(), platform::writable, 10);
        }
    });
    const std::string got = receiveAll(link->accepted, message.size());
    writer.join();
    EXPECT_EQ(got.size(), message.size());
}

TEST(KoSocketIPvx, IPv6LoopbackServerTakesNoIPv4Peers) {
    if (!hasLocalAddress("::1")) GTEST_SKIP() << "no IPv6 loopback on this machine";
    KoSocketIPvx server;
    int port = 0;
    ASSERT_EQ(server.Listen("::1", port, 16), KoSocketIPvx::statusOk);
    EXPECT_GE(server.fd(), 0);
    EXPECT_EQ(server.fd4(), -1);
    KoSocketIPvx viaIPv4;
    CaptureStderr();
    EXPECT_EQ(viaIPv4.Connect("127.0.0.1", port), KoSocketIPvx::statusConnectFailed);
    GetCapturedStderr();
    KoSocketIPvx viaIPv6;
    EXPECT_EQ(viaIPv6.Connect("::1", port), KoSocketIPvx::statusOk);
    KoSocketIPvx connection;
    ASSERT_GE(server.Accept(connection, 5000, admitAll), 0);
    EXPECT_EQ(connection.HostName(), "::1");
}
