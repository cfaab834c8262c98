#include "host/host_handler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "host/server_settings_for.h"
#include "message/message_body.h"
#include "message/response_header.h"
#include "message/x_header.h"
#include "server/http_answer.h"

namespace {

std::shared_ptr<KoXHeader> Parse(const std::string& bytes) {
    auto header = std::make_shared<KoXHeader>(0, false, 4);
    header->messageKind.store(message_kind::Request);
    header->AppendInput(bytes);
    EXPECT_EQ(header->ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    ParseBody(*header);
    header->description["remoteaddress"] = "10.0.0.7";
    return header;
}

TEST(KoHostRequestOf, CarriesWhatAHandlerReads) {
    auto request = Parse(
        "POST //a/%62?x=1&y=%41 HTTP/1.1\r\nHost: h\r\nX-Twice: one\r\nX-Twice:  two \r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 9\r\n\r\ny=B&z=a+b");
    const velko::Request host = KoHostRequestOf(*request, "cmd");
    EXPECT_EQ(host.method, "POST");
    EXPECT_EQ(host.target, "//a/%62?x=1&y=%41");
    EXPECT_EQ(host.path, "/a/b");
    EXPECT_EQ(host.query, "x=1&y=%41");
    EXPECT_EQ(host.fields.at("x-twice"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(host.field("host"), "h");
    EXPECT_EQ(host.fields.count(":first:"), 0u);
    // A POST's form is its body's.
    EXPECT_EQ(host.formValue("x", "none"), "none");
    EXPECT_EQ(host.formValue("y"), "B");
    EXPECT_EQ(host.formValue("z"), "a b");
    EXPECT_EQ(host.body, "y=B&z=a+b");
    EXPECT_EQ(host.command, "cmd");
    EXPECT_EQ(host.remoteAddress, "10.0.0.7");
}

std::string Head(const velko::Answer& answer) {
    KoXHeader request(1, false, 4);
    auto response = request.MakeAnswer();
    KoFillAnswer(answer, *response);
    return KoAnswerHead(*response, response->BodySize(), false, "Sun, 06 Nov 1994 08:49:37 GMT") + response->Body();
}

TEST(KoFillAnswer, WritesStatusTypeFieldsAndBody) {
    const struct {
        velko::Answer answer;
        const char* written;
    } rows[] = {
        {velko::Answer::text("hi"),
         "HTTP/1.1 200 OK\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 2\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n\r\nhi"},
        {velko::Answer::json("{}", 201), "HTTP/1.1 201 Created\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 2\r\n"
                                         "Content-Type: application/json\r\n\r\n{}"},
        // A Content-Type among the fields replaces the answer's own.
        {[] {
             velko::Answer a = velko::Answer::text("x");
             a.headers = {{"content-type", "image/svg+xml"}, {"Cache-Control", "no-store"}};
             return a;
         }(),
         "HTTP/1.1 200 OK\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 1\r\n"
         "content-type: image/svg+xml\r\nCache-Control: no-store\r\n\r\nx"},
        // The server's framing fields are dropped; Location goes to its place.
        {[] {
             velko::Answer a;
             a.status = 303;
             a.contentType.clear();
             a.headers = {{"Transfer-Encoding", "chunked"}, {"Keep-Alive", "1"}, {"Location", "/next"}};
             return a;
         }(),
         "HTTP/1.1 303 See Other\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 0\r\nLocation: /next\r\n\r\n"},
    };
    for (const auto& row : rows) {
        std::string written = Head(row.answer);
        // Reason texts are the server's table's; compare the rest.
        const std::string expected = row.written;
        EXPECT_EQ(written.substr(written.find("\r\n")), expected.substr(expected.find("\r\n"))) << written;
        EXPECT_EQ(written.substr(0, 12), expected.substr(0, 12));
    }
}

TEST(KoFillAnswer, RefusesWhatCannotBeSent) {
    for (int status : {0, 100, 199, 600, -1}) {
        velko::Answer answer = velko::Answer::text("x", status);
        EXPECT_THROW(Head(answer), std::runtime_error) << status;
    }
    for (const char* name : {"Bad Name", "", "X\nY", "(x)"}) {
        velko::Answer answer = velko::Answer::text("x");
        answer.headers = {{name, "v"}};
        EXPECT_THROW(Head(answer), std::runtime_error) << name;
    }
    velko::Answer split = velko::Answer::text("x");
    split.headers = {{"X-A", "one\r\nX-Injected: two"}};
    EXPECT_THROW(Head(split), std::runtime_error);
}

// The public defaults are written twice (the public header cannot include
// the library's); they must stay the library's.
TEST(KoSettingsFor, TheOptionsDefaultsAreTheLibrarysDefaults) {
    const KoApplicationSettings mapped = KoSettingsFor(velko::ServerOptions{});
    const KoApplicationSettings library;
    EXPECT_EQ(mapped.http.handlerConcurrency, library.http.handlerConcurrency);
    EXPECT_EQ(mapped.http.cgiConcurrency, library.http.cgiConcurrency);
    EXPECT_EQ(mapped.http.cgiTimeout, library.http.cgiTimeout);
    EXPECT_EQ(mapped.http.cgiOutputLimit, library.http.cgiOutputLimit);
    EXPECT_EQ(mapped.http.limits.maxLineLength, library.http.limits.maxLineLength);
    EXPECT_EQ(mapped.http.limits.maxHeaderSize, library.http.limits.maxHeaderSize);
    EXPECT_EQ(mapped.http.limits.maxFieldCount, library.http.limits.maxFieldCount);
    EXPECT_EQ(mapped.http.limits.maxBodySize, library.http.limits.maxBodySize);
    EXPECT_EQ(mapped.http.headerDeadline, library.http.headerDeadline);
    EXPECT_EQ(mapped.http.bodyProgressDeadline, library.http.bodyProgressDeadline);
    EXPECT_EQ(mapped.http.server.maxConnections, library.http.server.maxConnections);
    EXPECT_EQ(mapped.http.server.backlog, library.http.server.backlog);
    EXPECT_EQ(mapped.tls.serverHandshakeTimeout, library.tls.serverHandshakeTimeout);
    EXPECT_EQ(mapped.transceiver.connectionTimeout, library.transceiver.connectionTimeout);
    EXPECT_EQ(mapped.transceiver.loops, library.transceiver.loops);

    velko::ServerOptions options;
    options.handlerConcurrency = 3;
    options.idleTimeout = std::chrono::milliseconds(1500);
    options.maxBody = 10;
    options.loops = 1;
    const KoApplicationSettings changed = KoSettingsFor(options);
    EXPECT_EQ(changed.transceiver.loops, 1u);
    EXPECT_EQ(changed.http.handlerConcurrency, 3u);
    EXPECT_EQ(changed.transceiver.connectionTimeout, std::chrono::microseconds(1'500'000));
    EXPECT_EQ(changed.http.limits.maxBodySize, 10u);
}

}  // namespace
