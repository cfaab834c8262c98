#include "access/address_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "foundation/exception.h"

TEST(KoAddress, ParsesStrictlyAndHoldsIPv4InItsMappedForm) {
    struct Case {
        const char* text;
        bool valid;
        bool loopback;
    };
    const Case cases[] = {
        {"127.0.0.1", true, true},   {"127.255.3.4", true, true}, {"10.0.0.1", true, false},
        {"::1", true, true},         {"[::1]", true, true},       {"::", true, false},
        {"fe80::1:2", true, false},  {"::ffff:127.0.0.1", true, true}, {"1:2:3:4:5:6:7:8", true, false},
        {"2001:db8::8a2e:370:7334", true, false},
        {"", false, false},          {"1.2.3", false, false},     {"1.2.3.4.5", false, false},
        {"256.1.1.1", false, false}, {"01.2.3.4", false, false},  {" 1.2.3.4", false, false},
        {"1.2.3.4 ", false, false},  {"1:2:3:4:5:6:7:8:9", false, false}, {"1::2::3", false, false},
        {":1:2", false, false},      {"1:2:", false, false},      {"12345::1", false, false},
        {"::g", false, false},       {"fe80::1%eth0", false, false}, {"localhost", false, false},
        {"[::1", false, false},
    };
    for (const Case& c : cases) {
        const auto address = KoAddress::parse(c.text);
        EXPECT_EQ(address.has_value(), c.valid) << c.text;
        if (address) {
            EXPECT_EQ(address->isLoopback(), c.loopback) << c.text;
        }
    }
    EXPECT_EQ(KoAddress::parse("10.1.2.3"), KoAddress::parse("::ffff:10.1.2.3"));
    EXPECT_TRUE(KoAddress::parse("10.1.2.3")->isIPv4());
    EXPECT_FALSE(KoAddress::parse("::a01:203")->isIPv4());
}

TEST(KoAddressRules, FirstMatchDecidesAndTheLastRuleSetsTheDefault) {
    struct Case {
        const char* rules;
        const char* peer;
        bool allowed;
    };
    const Case cases[] = {
        {"", "203.0.113.9", true},
        {"allow 192.168.0.0/16", "192.168.44.3", true},
        {"allow 192.168.0.0/16", "192.169.0.1", false},
        {"allow 192.168.0.0/16", "::ffff:192.168.0.9", true},  // a dual-stack socket's view
        {"deny 10.0.0.0/8", "10.200.1.1", false},
        {"deny 10.0.0.0/8", "11.0.0.1", true},
        {"deny 10.0.0.7\nallow 10.0.0.0/8\ndeny all", "10.0.0.7", false},
        {"deny 10.0.0.7\nallow 10.0.0.0/8\ndeny all", "10.0.0.8", true},
        {"deny 10.0.0.7\nallow 10.0.0.0/8\ndeny all", "172.16.0.1", false},
        {"allow 127.0.0.1\nallow ::1", "::1", true},
        {"allow 127.0.0.1\nallow ::1", "::2", false},
        {"allow fd00::/8", "fdab::1", true},
        {"allow fd00::/8", "fe00::1", false},
        {"allow 0.0.0.0/0", "8.8.8.8", true},
        {"allow 0.0.0.0/0", "2001:db8::1", false},  // an IPv4 network holds no IPv6 peer
        {"allow all", "2001:db8::1", true},
        {"allow 10.0.0.0/8", "not an address", false},
        {"# a comment\n\n  allow 10.1.0.0/16  \r\n", "10.1.9.9", true},
        {"allow 10.0.0.0/31", "10.0.0.1", true},
        {"allow 10.0.0.0/31", "10.0.0.2", false},
    };
    for (const Case& c : cases) {
        KoAddressRules rules;
        rules.addLines(c.rules);
        EXPECT_EQ(rules.allows(std::string(c.peer)), c.allowed) << c.rules << " / " << c.peer;
    }
}

TEST(KoAddressRules, RulesThatCannotBeReadAreRefusedWithTheirText) {
    const std::pair<const char*, const char*> cases[] = {
        {"allow", "allow"},
        {"allow 10.0.0.0/33", "10.0.0.0/33"},
        {"allow ::/129", "::/129"},
        {"allow 10.0.0.0/", "10.0.0.0/"},
        {"allow 10.0.0.0/x", "10.0.0.0/x"},
        {"permit 10.0.0.0/8", "permit 10.0.0.0/8"},
        {"deny 300.1.1.1", "300.1.1.1"},
        {"allow 10.0.0.0/8 extra", "10.0.0.0/8 extra"},
    };
    for (const auto& [line, named] : cases) {
        KoAddressRules rules;
        try {
            rules.addLines(line);
            ADD_FAILURE() << "taken: " << line;
        } catch (const KoException& error) {
            EXPECT_NE(std::string(error.what()).find(named), std::string::npos) << error.what();
        }
    }
}
