// The listener's connection limit and connections that never ask: room is
// made for new clients, and a silent connection goes after the header
// deadline rather than the idle time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "api/server_handle.h"
#include "message/transceiver.h"
#include "process_probe.h"
#include "site_fixture.h"

using namespace site_fixture;
using namespace process_probe;
using namespace std::chrono_literals;

namespace {

class ConnectionLimit : public SiteServer {
protected:
    KoTransceiver& Engine() { return static_cast<ServerHandle*>(handle)->application->transceiver(); }
};

}  // namespace

// At the limit every new client was accepted and closed at once while the
// connections that held the places said nothing; and one that said nothing
// was kept for the whole idle time-out.
TEST_F(ConnectionLimit, SilentConnectionsMakeRoomAndGoAfterTheHeaderDeadline) {
    constexpr std::size_t limit = 6;
    WriteFile(root + "small.txt", "small");
    Start([](KoApplicationSettings& settings) {
        settings.transceiver.loops = 2;
        settings.http.server.maxConnections = limit;
        settings.http.headerDeadline = 2000ms;
    });
    std::vector<std::unique_ptr<RawHttpClient>> silent;
    for (std::size_t i = 0; i < limit; ++i) {
        silent.push_back(std::make_unique<RawHttpClient>(port));
        ASSERT_TRUE(silent.back()->connected());
    }
    ASSERT_TRUE(Eventually([&] { return Engine().ConnectionCount() == limit; }));
    for (int i = 0; i < 4; ++i) {
        RawHttpClient client(port);
        client.send("GET /small.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        EXPECT_TRUE(client.readUntilContains("\r\n\r\nsmall", 5000ms)) << i << ": " << client.received();
        EXPECT_LE(Engine().ConnectionCount(), limit);
    }
    // The silent ones that were not shed go at the header deadline.
    for (auto& connection : silent) EXPECT_TRUE(connection->readUntilClosed(10000ms));
    EXPECT_TRUE(Eventually([&] { return Engine().ConnectionCount() == 0; }));
}

// A connection in the middle of a request is not shed to make room; a
// keep-alive one resting between requests is.
TEST_F(ConnectionLimit, ConnectionsThatAskedAreKept) {
    WriteFile(root + "small.txt", "small");
    Start([](KoApplicationSettings& settings) {
        settings.transceiver.loops = 1;
        settings.http.server.maxConnections = 2;
    });
    RawHttpClient asking(port);
    asking.send("GET /small.txt HTTP/1.1\r\nHo");  // a request under way
    RawHttpClient kept(port);
    kept.send("GET /small.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(kept.readUntilContains("\r\n\r\nsmall", 5000ms));
    ASSERT_TRUE(Eventually([&] { return Engine().ConnectionCount() == 2; }));
    // The resting keep-alive connection makes room; the one asking does not.
    RawHttpClient fresh(port);
    fresh.send("GET /small.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(fresh.readUntilContains("\r\n\r\nsmall", 5000ms)) << fresh.received();
    EXPECT_TRUE(kept.readUntilClosed(5000ms));
    asking.send("st: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(asking.readUntilContains("\r\n\r\nsmall", 5000ms)) << asking.received();
}
