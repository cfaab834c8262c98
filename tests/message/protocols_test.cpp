#include <gtest/gtest.h>

#include "message/protocols.h"
#include "message/server_header.h"
#include "message/http_tables.h"

TEST(Protocols, NamesOfEveryCode) {
    struct Row {
        std::int32_t code;
        const char* scheme;
        const char* type;
        const char* label;
    };
    for (const Row& row : {Row{3, "http", "HTTP", "HTTP/HTTPS"}, Row{4, "https", "HTTPS", "HTTP/HTTPS"},
                           Row{6, "velko", "VELKO", "VELKO/VELKOS"}, Row{7, "velkos", "", ""},
                           Row{9, "socket", "DirectSocket", "DirectSocket"}, Row{5, "unknown", "", ""},
                           Row{0, "unknown", "", ""}, Row{-1, "unknown", "", ""}}) {
        EXPECT_EQ(protocol::SchemeNameOf(row.code), row.scheme) << row.code;
        EXPECT_EQ(protocol::TypeNameOf(row.code), row.type) << row.code;
        EXPECT_EQ(protocol::LabelOf(row.code), row.label) << row.code;
    }
    KoXHeader header(method_code::GET, false, 5);
    EXPECT_EQ(header.SchemeName(), "unknown");
}

TEST(Protocols, OnlyExactTypeNamesAreServiceable) {
    EXPECT_TRUE(IsKnownType({{"type", "HTTP"}}));
    EXPECT_TRUE(IsKnownType({{"type", "HTTPS"}}));
    EXPECT_TRUE(IsKnownType({{"type", "VELKO"}}));
    EXPECT_TRUE(IsKnownType({{"type", "DirectSocket"}}));
    EXPECT_FALSE(IsKnownType({}));
    EXPECT_FALSE(IsKnownType({{"type", "http"}}));
    EXPECT_FALSE(IsKnownType({{"type", "none"}}));
    EXPECT_FALSE(IsKnownType({{"type", "HTTP "}}));
}

TEST(Protocols, HostStringAndRegistrationRecord) {
    EXPECT_EQ(HostString("127.0.0.1", 2098), "income_tcp://127.0.0.1:2098");
    EXPECT_EQ(HostString("::", 0), "income_tcp://:::0");
    EXPECT_EQ(ServerRegistrationRecord(protocol::VELKOS, "_job*1"),
              (KoStringMap{{"protocol", ""}, {"ID", "_job*1"}, {"roll", "server"}}));
    EXPECT_EQ(ServerRegistrationRecord(protocol::HTTPS, "n").at("protocol"), "HTTP/HTTPS");
}

TEST(KoXServerHeader, LookupWithDefault) {
    KoXServerHeader server(protocol::HTTPS, true);
    EXPECT_EQ(server.methodCode.load(), method_code::POST);
    EXPECT_EQ(server.ProtocolCode(), protocol::HTTPS);
    EXPECT_TRUE(server.active);
    EXPECT_EQ(server.attachment, nullptr);
    server.entries["cacertificate"] = "cacert.pem";
    server.entries["empty"] = "";
    EXPECT_EQ(server.Lookup("cacertificate", ""), "cacert.pem");
    EXPECT_EQ(server.Lookup("privatekey", "fallback"), "fallback");
    EXPECT_EQ(server.Lookup("empty", "fallback"), "");
}

TEST(MethodTable, TokensAndCodes) {
    EXPECT_EQ(MethodCodeOf("NONE"), 0);
    EXPECT_EQ(MethodCodeOf("GET"), 1);
    EXPECT_EQ(MethodCodeOf("POST"), 2);
    EXPECT_EQ(MethodCodeOf("ANSWER"), 3);
    EXPECT_EQ(MethodCodeOf("HEAD"), 4);
    EXPECT_EQ(MethodCodeOf("OPTIONS"), method_code::OPTIONS);
    EXPECT_EQ(MethodCodeOf("PUT"), method_code::PUT);
    EXPECT_TRUE(IsRequestMethod(method_code::TRACE));
    EXPECT_FALSE(IsRequestMethod(method_code::ANSWER));
    EXPECT_FALSE(MethodCodeOf("BREW").has_value());
    EXPECT_FALSE(MethodCodeOf("CONNECT").has_value());
    EXPECT_FALSE(MethodCodeOf("get").has_value());
    EXPECT_EQ(MethodTokenOf(4), "HEAD");
    EXPECT_EQ(MethodTokenOf(method_code::DELETE), "DELETE");
    EXPECT_EQ(MethodTokenOf(10), "");
}
