#include "server/http/cookies.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/exception.h"

TEST(KoParseCookies, ReadsPairsAsBrowsersSendThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"a=1", "a=1;"},
        {"a=1; b=2", "a=1;b=2;"},
        {"  a = 1 ;b=\"quoted\" ", "a=1;b=quoted;"},
        {"a=1; a=2", "a=1;a=2;"},       // both kept, in order
        {"flag; a=1; =x", "a=1;"},      // no '=' or no name: skipped
        {"a=; b==c", "a=;b==c;"},
        {"", ""},
    };
    for (const auto& [field, expected] : cases) {
        std::string got;
        for (const auto& [name, value] : KoParseCookies(field)) got += name + "=" + value + ";";
        EXPECT_EQ(got, expected) << field;
    }
}

TEST(KoSetCookie, WritesSafeDefaultsAndRefusesBytesThatBreakTheField) {
    KoSetCookie session;
    session.name = "sid";
    session.value = "abc123";
    EXPECT_EQ(session.fieldValue(), "sid=abc123; Path=/; HttpOnly; SameSite=Lax");

    KoSetCookie wide = session;
    wide.sameSite = KoSetCookie::SameSite::none;
    wide.httpOnly = false;
    wide.maxAge = std::chrono::seconds(3600);
    wide.domain = "panel.example";
    EXPECT_EQ(wide.fieldValue(), "sid=abc123; Path=/; Domain=panel.example; Max-Age=3600; Secure; SameSite=None");

    for (const auto& [name, value] : {std::pair<std::string, std::string>{"", "x"}, {"a b", "x"}, {"a;b", "x"},
                                      {"sid", "x; Domain=evil"}, {"sid", "x\r\nSet-Cookie: y=1"}, {"sid", "\"q\""},
                                      {"sid", "a,b"}}) {
        KoSetCookie bad;
        bad.name = name;
        bad.value = value;
        EXPECT_THROW(bad.fieldValue(), KoException) << name << "=" << value;
    }
    KoSetCookie badPath = session;
    badPath.path = "/; Secure=no";
    EXPECT_THROW(badPath.fieldValue(), KoException);
}
