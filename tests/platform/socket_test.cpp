#include "platform/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/poller.h"

namespace {

platform::AddressInfo loopback4(int port) {
    platform::ResolveHints hints;
    hints.numericHost = true;
    auto resolution = platform::resolveStream("127.0.0.1", std::to_string(port), hints);
    EXPECT_TRUE(resolution.ok()) << resolution.errorText;
    EXPECT_FALSE(resolution.entries.empty());
    return resolution.entries.front();
}

struct Listener {
    platform::Descriptor socket;
    int port = 0;
};

Listener listenOnLoopback() {
    Listener listener;
    const auto where = loopback4(0);
    auto opened = platform::openSocket(where.family, where.type, where.protocol);
    EXPECT_TRUE(opened.ok());
    listener.socket = std::move(opened.value());
    EXPECT_TRUE(platform::bindSocket(listener.socket.get(), where.address).ok());
    EXPECT_TRUE(platform::listenSocket(listener.socket.get(), 4).ok());
    auto bound = platform::localAddress(listener.socket.get());
    EXPECT_TRUE(bound.ok());
    listener.port = bound.value().port();
    return listener;
}

}  // namespace

TEST(SocketAddress, CarriesFamilyAndPort) {
    const auto info = loopback4(8080);
    EXPECT_EQ(info.family, platform::AddressFamily::ipv4);
    EXPECT_EQ(info.address.family(), platform::AddressFamily::ipv4);
    EXPECT_EQ(info.address.port(), 8080);
    EXPECT_EQ(info.address.withPort(443).port(), 443);
    const auto name = platform::numericName(info.address.withPort(443));
    ASSERT_TRUE(name.ok()) << name.errorText;
    EXPECT_EQ(name.host, "127.0.0.1");
    EXPECT_EQ(name.service, "443");
}

TEST(NumericName, WritesAddressesAndPortsAsTheResolverDoes) {
    struct Case {
        const char* host;
        const char* port;
    };
    const Case cases[] = {{"0.0.0.0", "0"},     {"127.0.0.1", "1"},      {"10.20.30.40", "8080"},
                          {"1.2.3.4", "65535"}, {"255.255.255.255", "9"}, {"192.168.100.7", "443"},
                          {"::1", "80"},        {"::ffff:127.0.0.1", "5"}, {"2001:db8::a:b", "12345"}};
    platform::ResolveHints hints;
    hints.numericHost = true;
    for (const Case& c : cases) {
        const auto resolution = platform::resolveStream(c.host, c.port, hints);
        ASSERT_TRUE(resolution.ok() && !resolution.entries.empty()) << c.host << ": " << resolution.errorText;
        const auto name = platform::numericName(resolution.entries.front().address);
        ASSERT_TRUE(name.ok()) << c.host << ": " << name.errorText;
        EXPECT_EQ(name.host, c.host);
        EXPECT_EQ(name.service, c.port) << c.host;
    }
}

TEST(ResolveStream, ReportsTheResolverText) {
    platform::ResolveHints hints;
    hints.numericHost = true;
    const auto resolution = platform::resolveStream("not a numeric host", "80", hints);
    EXPECT_FALSE(resolution.ok());
    EXPECT_TRUE(resolution.entries.empty());
    EXPECT_FALSE(resolution.errorText.empty());
}

TEST(ResolveStream, PassiveWithoutHostGivesWildcards) {
    platform::ResolveHints hints;
    hints.passive = true;
    const auto resolution = platform::resolveStream("", "0", hints);
    ASSERT_TRUE(resolution.ok()) << resolution.errorText;
    ASSERT_FALSE(resolution.entries.empty());
    for (const auto& entry : resolution.entries) {
        const auto name = platform::numericName(entry.address);
        EXPECT_TRUE(name.host == "0.0.0.0" || name.host == "::") << name.host;
    }
}

TEST(LocalInterfaceAddresses, IncludeLoopback) {
    const auto addresses = platform::localInterfaceAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
}

TEST(AcceptSocket, NeverBlocksAndGivesNonBlockingConnections) {
    Listener listener = listenOnLoopback();
    ASSERT_TRUE(platform::setNonBlocking(listener.socket.get(), true).ok());
    auto nobody = platform::acceptSocket(listener.socket.get());
    ASSERT_FALSE(nobody.ok());
    EXPECT_TRUE(nobody.error().wouldBlock());

    const auto where = loopback4(listener.port);
    auto client = platform::openSocket(where.family, where.type, where.protocol);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(platform::connectSocket(client.value().get(), where.address).ok());
    ASSERT_NE(platform::waitDescriptor(listener.socket.get(), platform::readable, 5000).value(), 0u);
    auto accepted = platform::acceptSocket(listener.socket.get());
    ASSERT_TRUE(accepted.ok()) << accepted.error().text();
    EXPECT_EQ(platform::numericName(accepted.value().peer).host, "127.0.0.1");

    char byte;
    const auto empty = platform::receiveSome(accepted.value().socket.get(), &byte, 1);
    EXPECT_TRUE(empty.error.wouldBlock());

    const auto sent = platform::sendSome(client.value().get(), "hi", 2);
    EXPECT_TRUE(sent.error.ok());
    EXPECT_EQ(sent.bytes, 2u);
    ASSERT_NE(platform::waitDescriptor(accepted.value().socket.get(), platform::readable, 5000).value(), 0u);
    char buffer[8];
    const auto got = platform::receiveSome(accepted.value().socket.get(), buffer, sizeof buffer);
    EXPECT_EQ(got.bytes, 2u);
    EXPECT_EQ(std::string(buffer, got.bytes), "hi");
}

TEST(BindSocket, ReportsATakenAddress) {
    Listener listener = listenOnLoopback();
    const auto where = loopback4(listener.port);
    auto second = platform::openSocket(where.family, where.type, where.protocol);
    ASSERT_TRUE(second.ok());
    const auto error = platform::bindSocket(second.value().get(), where.address);
    EXPECT_TRUE(error.addressInUse()) << error.text();
    EXPECT_FALSE(error.text().empty());
}

TEST(ConnectSocket, RefusedPortGivesPendingError) {
    int port;
    {
        Listener gone = listenOnLoopback();
        port = gone.port;
    }
    const auto where = loopback4(port);
    auto client = platform::openSocket(where.family, where.type, where.protocol);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(platform::setNonBlocking(client.value().get(), true).ok());
    auto error = platform::connectSocket(client.value().get(), where.address);
    if (error.inProgress()) {
        platform::waitDescriptor(client.value().get(), platform::writable, 5000);
        error = platform::pendingError(client.value().get());
    }
    EXPECT_FALSE(error.ok());
}

// Writing to a peer that has gone must not kill the process with SIGPIPE.
TEST(SendSome, ClosedPeerGivesAnErrorNotASignal) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    pair.value().second.reset();
    const auto result = platform::sendSome(pair.value().first.get(), "x", 1);
    EXPECT_FALSE(result.error.ok());
    EXPECT_EQ(result.bytes, 0u);
}

TEST(ReceiveSome, PeerCloseGivesZeroBytesWithoutError) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(platform::shutdownSocket(pair.value().second.get()).ok());
    char byte;
    const auto result = platform::receiveSome(pair.value().first.get(), &byte, 1);
    EXPECT_TRUE(result.error.ok());
    EXPECT_EQ(result.bytes, 0u);
}

TEST(SendGather, WritesThePiecesInOrderAsOneSend) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string body = "body bytes";
    const platform::ConstBytes pieces[3] = {{head.data(), head.size()}, {"", 0}, {body.data(), body.size()}};
    auto sent = platform::sendGather(pair.value().first.get(), pieces, 3);
    ASSERT_TRUE(sent.error.ok()) << sent.error.text();
    EXPECT_EQ(sent.bytes, head.size() + body.size());
    char buffer[128];
    auto got = platform::receiveSome(pair.value().second.get(), buffer, sizeof buffer);
    ASSERT_TRUE(got.error.ok());
    EXPECT_EQ(std::string(buffer, got.bytes), head + body);
    // A closed peer is an error, not a signal.
    pair.value().second.reset();
    auto failed = platform::sendGather(pair.value().first.get(), pieces, 3);
    EXPECT_FALSE(failed.error.ok());
}

TEST(OnThisHost, LoopbackAndTheSocketsOwnAddressStayOnTheMachine) {
    const auto address = [](const char* host) {
        platform::ResolveHints hints;
        hints.numericHost = true;
        const auto resolution = platform::resolveStream(host, "80", hints);
        EXPECT_TRUE(resolution.ok() && !resolution.entries.empty()) << host;
        return resolution.ok() && !resolution.entries.empty() ? resolution.entries.front().address
                                                              : platform::SocketAddress{};
    };
    struct Case {
        const char* peer;
        const char* local;
        bool onThisHost;
    };
    const Case cases[] = {
        {"127.0.0.1", "10.0.0.1", true},          {"127.3.4.5", "10.0.0.1", true},
        {"::1", "2001:db8::1", true},             {"::ffff:127.0.0.1", "::ffff:10.0.0.1", true},
        {"10.0.0.1", "10.0.0.1", true},           {"::ffff:10.0.0.1", "10.0.0.1", true},
        {"2001:db8::1", "2001:db8::1", true},     {"10.0.0.2", "10.0.0.1", false},
        {"::ffff:10.0.0.2", "10.0.0.1", false},   {"2001:db8::2", "2001:db8::1", false},
        {"128.0.0.1", "10.0.0.1", false},         {"::2", "2001:db8::1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::onThisHost(address(c.peer), address(c.local)), c.onThisHost) << c.peer << " " << c.local;

    // A connection on loopback is; a socket without a peer is not.
    Listener listener = listenOnLoopback();
    const auto where = loopback4(listener.port);
    auto client = platform::openSocket(where.family, where.type, where.protocol);
    ASSERT_TRUE(client.ok());
    EXPECT_FALSE(platform::peerOnThisHost(client.value().get()));
    ASSERT_TRUE(platform::connectSocket(client.value().get(), where.address).ok());
    EXPECT_TRUE(platform::peerOnThisHost(client.value().get()));
}
