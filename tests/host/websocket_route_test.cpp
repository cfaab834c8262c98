#include "host/websocket_route.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(KoWebSocketOriginAllowed, DecidesByTheSiteOrTheList) {
    struct Row {
        const char* origin;
        const char* host;
        const char* scheme;
        std::vector<std::string> allowed;
        bool admitted;
    };
    const Row rows[] = {
        {"", "localhost:8443", "https", {}, true},  // no browser
        {"https://localhost:8443", "localhost:8443", "https", {}, true},
        {"HTTPS://LocalHost:8443", "localhost:8443", "https", {}, true},
        {"http://localhost:8443", "localhost:8443", "https", {}, false},  // another scheme
        {"https://localhost:9000", "localhost:8443", "https", {}, false},  // another port
        {"https://evil.example", "localhost:8443", "https", {}, false},
        {"null", "localhost:8443", "https", {}, false},  // a sandboxed page
        {"https://panel.example", "localhost:8443", "https", {"https://panel.example"}, true},
        {"https://localhost:8443", "localhost:8443", "https", {"https://panel.example"}, false},
        {"https://evil.example", "localhost:8443", "https", {"*"}, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(KoWebSocketOriginAllowed(row.origin, row.host, row.scheme, row.allowed), row.admitted)
            << row.origin << " for " << row.host;
    }
}

}  // namespace
