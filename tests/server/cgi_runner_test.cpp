#include <gtest/gtest.h>

#include <string>

#include "message/http_tables.h"
#include "message/x_header.h"
#include "server/cgi_runner.h"
#include "server/mime_types.h"

namespace {

std::shared_ptr<KoXHeader> Parse(const std::string& bytes) {
    auto header = std::make_shared<KoXHeader>(method_code::NONE, false, 3);
    header->messageKind.store(message_kind::Request);
    header->AppendInput(bytes);
    EXPECT_EQ(header->ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    return header;
}

TEST(buildEnvironment, GetRequest) {
    auto request = Parse("GET /a.php?x=1&y HTTP/1.1\r\nHost: h\r\nUser-Agent: t\r\nProxy: evil\r\n\r\n");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    EXPECT_EQ(env["REQUEST_METHOD"], "GET");
    EXPECT_EQ(env["QUERY_STRING"], "x=1&y");
    EXPECT_EQ(env["HTTP_USER-AGENT"], "t");
    EXPECT_EQ(env["HTTP_USER_AGENT"], "t");
    EXPECT_EQ(env.count("CONTENT_LENGTH"), 0u);
    EXPECT_EQ(env.count("HTTP_PROXY"), 0u);
}

TEST(buildEnvironment, PostRequestDefaultsItsType) {
    auto request = Parse("POST /a.php HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    EXPECT_EQ(env["REQUEST_METHOD"], "POST");
    EXPECT_EQ(env["CONTENT_TYPE"], "application/x-www-form-urlencoded");
    EXPECT_EQ(env["CONTENT_LENGTH"], "3");
}

// A field spelt with '_' gave the same variable as its name with '-', so
// "X_Forwarded_For" overrode "X-Forwarded-For" whatever their order, and the
// body's type and length came twice, also as HTTP_CONTENT_*.
TEST(buildEnvironment, FieldsThatWouldShadowOthersAreDropped) {
    for (const char* fields : {"X-Forwarded-For: 10.0.0.1\r\nX_Forwarded_For: 6.6.6.6\r\n",
                               "X_Forwarded_For: 6.6.6.6\r\nX-Forwarded-For: 10.0.0.1\r\n"}) {
        auto request = Parse(std::string("POST /a.php HTTP/1.1\r\n") + fields +
                             "Remote_User: root\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc");
        KoCgiEnvironment env;
        ASSERT_TRUE(buildEnvironment(*request, env));
        EXPECT_EQ(env["HTTP_X_FORWARDED_FOR"], "10.0.0.1") << fields;
        EXPECT_EQ(env["HTTP_X-FORWARDED-FOR"], "10.0.0.1") << fields;
        EXPECT_EQ(env.count("HTTP_REMOTE_USER"), 0u);
        EXPECT_EQ(env["CONTENT_TYPE"], "text/plain");
        EXPECT_EQ(env["CONTENT_LENGTH"], "3");
        for (const char* twice : {"HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH", "HTTP_CONTENT-TYPE", "HTTP_CONTENT-LENGTH"})
            EXPECT_EQ(env.count(twice), 0u) << twice;
    }
}

TEST(addGatewayVariables, NamesTheScriptAndPeer) {
    auto request = Parse("GET /dir/a.php?q HTTP/1.1\r\n\r\n");
    KoCgiEnvironment env;
    KoCgiContext context{"/root/", "/dir/a.php", "/root/dir/a.php", "127.0.0.1", "80", "10.0.0.1", "5555"};
    addGatewayVariables(*request, context, env);
    EXPECT_EQ(env["GATEWAY_INTERFACE"], "CGI/1.1");
    EXPECT_EQ(env["SERVER_PROTOCOL"], "HTTP/1.1");
    EXPECT_EQ(env["SCRIPT_FILENAME"], "/root/dir/a.php");
    EXPECT_EQ(env["REQUEST_URI"], "/dir/a.php?q");
    EXPECT_EQ(env["REMOTE_PORT"], "5555");
    EXPECT_EQ(env["REDIRECT_STATUS"], "CGI");
    for (const std::string& entry : environmentEntries({{"HTTP_PROXY", "x"}, {"A", "b"}})) EXPECT_EQ(entry, "A=b");
}

// A script asked through an absolute target was told the whole URI as its
// REQUEST_URI and the Host line the server ignores.
TEST(addGatewayVariables, AbsoluteTargetGivesThePathAndTheTargetsHost) {
    auto request = Parse("GET http://named:81/dir/a.php?q HTTP/1.1\r\nHost: other\r\n\r\n");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    KoCgiContext context{"/root/", "/dir/a.php", "/root/dir/a.php", "127.0.0.1", "80", "10.0.0.1", "5555"};
    addGatewayVariables(*request, context, env);
    EXPECT_EQ(env["REQUEST_URI"], "/dir/a.php?q");
    EXPECT_EQ(env["QUERY_STRING"], "q");
    EXPECT_EQ(env["HTTP_HOST"], "named:81");
}

TEST(KoMimeTypeFor, Table) {
    const struct {
        const char* file;
        const char* type;
    } table[] = {
        {"a/b.HTML", "text/html"},
        {"x.css", "text/css"},
        {"x.mjs", "text/javascript"},
        {"x.woff2", "font/woff2"},
        {"x.wasm", "application/wasm"},
        {"x.webp", "image/webp"},
        {"x.avif", "image/avif"},
        {"x.svg", "image/svg+xml"},
        {"x.json", "application/json"},
        {"app.js.map", "application/json"},
        {"x.mp4", "video/mp4"},
        {"x.webm", "video/webm"},
        {"x.ogg", "audio/ogg"},
        {"x.mp3", "audio/mpeg"},
        {"x.pdf", "application/pdf"},
        {"dir.d/noext", "application/octet-stream"},
        {"x.", "application/octet-stream"},
        {"x.unknown", "application/octet-stream"},
    };
    for (const auto& row : table) EXPECT_EQ(KoMimeTypeFor(row.file), row.type) << row.file;
}

}  // namespace
