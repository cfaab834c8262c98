#include "server/routing/site_rules.h"

#include <gtest/gtest.h>

#include "message/http_tables.h"

namespace {

struct SiteCase {
    const char* fetchSite;
    const char* origin;
    const char* referer;
    const char* scheme;
    const char* host;
    bool crossSite;
};

TEST(KoSiteRules, TellsCrossSiteRequestsFromTheServersOwn) {
    KoSiteRules rules;
    rules.allowedOrigins = {"https://panel.example", "http://tool.example:8080"};
    const SiteCase cases[] = {
        {"", "", "", "https", "localhost:8443", false},  // curl, scripts
        {"", "https://localhost:8443", "", "https", "localhost:8443", false},
        {"", "HTTPS://LocalHost:8443", "", "https", "localhost:8443", false},
        {"", "https://localhost", "", "https", "localhost:443", false},  // default port either way
        {"", "https://localhost:443", "", "https", "localhost", false},
        {"same-origin", "https://[::1]:8443", "", "https", "[::1]:8443", false},
        {"", "https://evil.example", "", "https", "localhost:8443", true},
        {"", "http://localhost:8443", "", "https", "localhost:8443", true},   // scheme
        {"", "https://localhost:9443", "", "https", "localhost:8443", true},  // port
        {"", "https://127.0.0.1:8443", "", "https", "localhost:8443", true},  // another name is another site
        {"", "null", "", "https", "localhost:8443", true},
        {"", "https://localhost:84x3", "", "https", "localhost:8443", true},
        {"", "", "https://localhost:8443/page?x=1", "https", "localhost:8443", false},
        {"", "", "https://user@localhost:8443/", "https", "localhost:8443", false},
        {"", "", "https://evil.example/form.html", "https", "localhost:8443", true},
        {"", "", "not a url", "https", "localhost:8443", true},
        // Origin, when sent, decides over Referer.
        {"", "https://localhost:8443", "https://evil.example/", "https", "localhost:8443", false},
        {"cross-site", "", "", "https", "localhost:8443", true},
        {"Cross-Site", "https://localhost:8443", "", "https", "localhost:8443", true},
        {"same-site", "", "", "https", "localhost:8443", false},
        {"none", "", "", "https", "localhost:8443", false},
        {"cross-site", "https://panel.example", "", "https", "localhost:8443", false},  // allowed
        {"", "https://panel.example:443", "", "https", "localhost:8443", false},
        {"", "", "http://tool.example:8080/x", "https", "localhost:8443", false},
        {"", "http://tool.example", "", "https", "localhost:8443", true},  // not its port
        {"", "https://localhost:8443", "", "https", "", true},  // no Host to compare with
    };
    for (const SiteCase& c : cases) {
        EXPECT_EQ(KoIsCrossSite({c.fetchSite, c.origin, c.referer}, c.scheme, c.host, rules), c.crossSite)
            << "Sec-Fetch-Site '" << c.fetchSite << "' Origin '" << c.origin << "' Referer '" << c.referer
            << "' to " << c.scheme << "://" << c.host;
    }
}

struct HostCase {
    const char* host;
    const char* bound;
    bool allowedHosts;  // with {"panel.example"}
    bool answered;
};

TEST(KoSiteRules, AnswersOnlyLoopbackNamesOnALoopbackServer) {
    const HostCase cases[] = {
        {"localhost", "127.0.0.1", false, true},
        {"LOCALHOST:8443", "127.0.0.1", false, true},
        {"127.0.0.1:8443", "127.0.0.1", false, true},
        {"127.1.2.3", "127.0.0.1", false, true},
        {"[::1]:8443", "::1", false, true},
        {"[::1]", "localhost", false, true},
        {"", "127.0.0.1", false, true},  // HTTP/1.0 without Host
        {"evil.example", "127.0.0.1", false, false},
        {"evil.example:8443", "::1", false, false},
        {"localhost.evil.example", "127.0.0.1", false, false},
        {"192.168.1.5", "127.0.0.1", false, false},
        {"127.0.0.256", "127.0.0.1", false, false},
        {"127.0.0.1.5", "127.0.0.1", false, false},
        {"127.0..1", "127.0.0.1", false, false},
        {"127.0.0.0001", "127.0.0.1", false, false},
        {"0127.0.0.1", "127.0.0.1", false, false},
        {"127.0.0.1", "127.000.000.001", false, true},
        {"127.0.0.1", "128.0.0.1", false, true},  // not loopback: any name
        {"128.0.0.1", "127.0.0.1", false, false},
        {"panel.example:8443", "127.0.0.1", true, true},
        {"Panel.Example", "127.0.0.1", true, true},
        {"evil.example", "127.0.0.1", true, false},
        // Bound elsewhere: every name without a list, the list's otherwise.
        {"evil.example", "0.0.0.0", false, true},
        {"evil.example", "", false, true},
        {"evil.example", "192.168.1.5", true, false},
        {"panel.example", "0.0.0.0", true, true},
        {"192.168.1.5:8443", "0.0.0.0", true, true},
        {"[fe80::1]:8443", "::", true, true},
        {"localhost", "0.0.0.0", true, true},
        // Names of this machine in any case, bound there under its name.
        {"LocalHost:8080", "127.0.0.1", false, true},
        {"evil.example", "LOCALHOST", false, false},
        {"127.0.0.1", "localhost", false, true},
    };
    for (const HostCase& c : cases) {
        KoSiteRules rules;
        if (c.allowedHosts) rules.allowedHosts = {"panel.example"};
        EXPECT_EQ(KoHostAllowed(c.host, c.bound, rules), c.answered)
            << "Host '" << c.host << "' on a server bound to '" << c.bound << "'";
    }
}

TEST(KoSiteRules, CommandsNeedPostOrGetWhereAllowed) {
    KoSiteRules rules;
    EXPECT_TRUE(KoMethodMayCommand(method_code::GET, rules));
    EXPECT_FALSE(KoMethodMayCommand(method_code::HEAD, rules));
    EXPECT_TRUE(KoMethodMayCommand(method_code::POST, rules));
    rules.commandsOnGet = false;
    EXPECT_FALSE(KoMethodMayCommand(method_code::GET, rules));
    EXPECT_TRUE(KoMethodMayCommand(method_code::POST, rules));
    EXPECT_FALSE(KoMethodActs(method_code::OPTIONS));
    EXPECT_TRUE(KoMethodActs(method_code::DELETE));
}

TEST(KoSiteRules, SecurityFieldsAreThoseAskedFor) {
    KoSecurityFields fields;
    using Lines = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(KoSecurityFieldLines(fields, true), (Lines{{"Referrer-Policy", "strict-origin-when-cross-origin"}}));
    fields.strictTransportSecurity = "max-age=60";
    fields.frameOptions = "SAMEORIGIN";
    fields.noSniff = true;
    EXPECT_EQ(KoSecurityFieldLines(fields, false),
              (Lines{{"X-Frame-Options", "SAMEORIGIN"},
                     {"Content-Security-Policy", "frame-ancestors 'self'"},
                     {"Referrer-Policy", "strict-origin-when-cross-origin"},
                     {"X-Content-Type-Options", "nosniff"}}));
    EXPECT_EQ(KoSecurityFieldLines(fields, true).front(), (std::pair<std::string, std::string>{"Strict-Transport-Security", "max-age=60"}));
}

}  // namespace
