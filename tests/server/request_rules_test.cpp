#include "server/http/request_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "message/http_tables.h"
#include "message/response_header.h"

namespace {

// HTTP/1.1 requests without Host, or with two, were served.
TEST(KoHostRuleStatus, Table) {
    const struct {
        const char* name;
        std::string bytes;
        std::int32_t status;
    } table[] = {
        {"one host", "GET / HTTP/1.1\r\nHost: example.org\r\n\r\n", 0},
        {"host and port", "GET / HTTP/1.1\r\nHost: 127.0.0.1:8443\r\n\r\n", 0},
        {"IPv6 literal", "GET / HTTP/1.1\r\nHost: [::1]:8443\r\n\r\n", 0},
        {"empty host", "GET / HTTP/1.1\r\nHost:\r\n\r\n", 0},
        {"no host", "GET / HTTP/1.1\r\n\r\n", 400},
        {"two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n", 400},
        {"two hosts, one empty", "GET / HTTP/1.1\r\nHost: a\r\nHost:\r\n\r\n", 400},
        {"blank inside", "GET / HTTP/1.1\r\nHost: a b\r\n\r\n", 400},
        {"user information", "GET / HTTP/1.1\r\nHost: u@a\r\n\r\n", 400},
        {"a path", "GET / HTTP/1.1\r\nHost: a/b\r\n\r\n", 400},
        {"HTTP/1.0 without", "GET / HTTP/1.0\r\n\r\n", 0},
        {"HTTP/1.0 with two", "GET / HTTP/1.0\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: b\r\n\r\n", 0},
        {"absolute target without", "GET http://a/ HTTP/1.1\r\n\r\n", 400},
    };
    for (const auto& row : table) {
        KoXHeader request(0, false, 3);
        request.AppendInput(row.bytes);
        ASSERT_EQ(request.ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete) << row.name;
        EXPECT_EQ(KoHostRuleStatus(request), row.status) << row.name;
    }
}

TEST(KoMethodStatus, Table) {
    using K = KoResourceKind;
    const struct {
        std::int32_t method;
        std::int32_t file;
        std::int32_t script;
    } table[] = {
        {method_code::GET, 0, 0},       {method_code::HEAD, 0, 0},        {method_code::POST, 405, 0},
        {method_code::OPTIONS, 204, 204}, {method_code::PUT, 405, 405},   {method_code::DELETE, 405, 405},
        {method_code::PATCH, 405, 405}, {method_code::TRACE, 405, 405},
    };
    for (const auto& row : table) {
        EXPECT_EQ(KoMethodStatus(row.method, K::file), row.file) << MethodTokenOf(row.method);
        EXPECT_EQ(KoMethodStatus(row.method, K::script), row.script) << MethodTokenOf(row.method);
        EXPECT_EQ(KoMethodStatus(row.method, K::store), row.script) << MethodTokenOf(row.method);
    }
    EXPECT_EQ(KoAllowedMethods(K::file), "GET, HEAD, OPTIONS");
    EXPECT_EQ(KoAllowedMethods(K::script), "GET, HEAD, POST, OPTIONS");
}

TEST(KoMethodAnswer, AllowAndABodyOnlyForRefusals) {
    KoXResponseHeader options(method_code::ANSWER, false, 3);
    KoMethodAnswer(204, KoResourceKind::script, options);
    EXPECT_EQ(options.statusCode, 204);
    EXPECT_EQ(options.FirstValue("allow"), "GET, HEAD, POST, OPTIONS");
    EXPECT_EQ(options.BodySize(), 0u);
    KoXResponseHeader refused(method_code::ANSWER, false, 3);
    KoMethodAnswer(405, KoResourceKind::file, refused);
    EXPECT_EQ(refused.statusCode, 405);
    EXPECT_EQ(refused.FirstValue("allow"), "GET, HEAD, OPTIONS");
    EXPECT_EQ(refused.Body(), "405 Method Not Allowed\n");
    EXPECT_EQ(refused.FirstValue("content-type"), "text/plain; charset=utf-8");
}

}  // namespace
