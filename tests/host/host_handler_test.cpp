#include "host/host_handler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/server_settings_for.h"
#include "host/spooled_multipart.h"
#include "message/message_body.h"
#include "message/response_header.h"
#include "message/x_header.h"
#include "server/http/http_answer.h"

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
        "Cookie: s=1; t=\"two\"\r\nCookie: s=2\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 9\r\n\r\ny=B&z=a+b");
    const velko::Request host = KoHostRequestOf(*request, "cmd");
    EXPECT_EQ(host.method, "POST");
    EXPECT_EQ(host.target, "//a/%62?x=1&y=%41");
    EXPECT_EQ(host.path, "/a/b");
    EXPECT_EQ(host.query, "x=1&y=%41");
    EXPECT_EQ(host.fields.at("x-twice"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(host.field("host"), "h");
    EXPECT_EQ(host.fields.count(":first:"), 0u);
    // What went wrong: a POST's query was not in its form, and a name
    // given twice kept only its later value. The query's values come
    // first; every value is kept in order, and formValue is the last.
    EXPECT_EQ(host.formValue("x", "none"), "1");
    EXPECT_EQ(host.formValue("y"), "B");
    EXPECT_EQ(host.values("y"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(host.values("none"), std::vector<std::string>{});
    EXPECT_EQ(host.formValue("z"), "a b");
    // The first cookie of a name, unquoted.
    EXPECT_EQ(host.cookie("s"), "1");
    EXPECT_EQ(host.cookie("t"), "two");
    EXPECT_EQ(host.cookie("u", "none"), "none");
    EXPECT_EQ(host.body, "y=B&z=a+b");
    EXPECT_EQ(host.command, "cmd");
    EXPECT_EQ(host.remoteAddress, "10.0.0.7");
}

TEST(KoHostRequestOf, AFilePartIsAnUploadWithItsNameAndType) {
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a b.csv\"\r\nContent-Type: text/csv\r\n\r\n"
        "1,2\r\n\r\n--b--\r\n";
    auto request = Parse("POST /up?note=first HTTP/1.1\r\nHost: h\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    const velko::Request host = KoHostRequestOf(*request, "");
    EXPECT_EQ(host.values("note"), (std::vector<std::string>{"first", "hi"}));
    EXPECT_EQ(host.form.count("doc"), 0u);
    ASSERT_EQ(host.uploads.size(), 1u);
    const velko::Upload* upload = host.upload("doc");
    ASSERT_NE(upload, nullptr);
    EXPECT_EQ(upload->fileName, "a b.csv");
    EXPECT_EQ(upload->contentType, "text/csv");
    EXPECT_EQ(upload->content, "1,2\r\n");
    EXPECT_EQ(upload->size, 5u);
    EXPECT_TRUE(upload->file.empty());
    EXPECT_EQ(host.upload("note"), nullptr);
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
    EXPECT_EQ(mapped.http.http2.enabled, library.http.http2.enabled);
    EXPECT_EQ(mapped.http.http2.maxStreams, library.http.http2.maxStreams);
    EXPECT_EQ(mapped.http.http2.idleTimeout, library.http.http2.idleTimeout);

    velko::ServerOptions options;
    options.handlerConcurrency = 3;
    options.idleTimeout = std::chrono::milliseconds(1500);
    options.maxBody = 10;
    options.loops = 1;
    options.http2 = false;
    const KoApplicationSettings changed = KoSettingsFor(options);
    EXPECT_FALSE(changed.http.http2.enabled);
    EXPECT_EQ(changed.transceiver.loops, 1u);
    EXPECT_EQ(changed.http.handlerConcurrency, 3u);
    EXPECT_EQ(changed.transceiver.connectionTimeout, std::chrono::microseconds(1'500'000));
    EXPECT_EQ(changed.http.limits.maxBodySize, 10u);
}

}  // namespace

namespace {

// A body file of its own (test programs run at once), removed with it.
platform::TemporaryFile WriteTemporary(const std::string& bytes) {
    auto created = platform::TemporaryFile::create("velko-test-body-");
    EXPECT_TRUE(created.ok());
    platform::TemporaryFile file = std::move(created.value());
    EXPECT_TRUE(file.append(bytes).ok());
    return file;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A spooled body is read in steps of every size: a delimiter or a part's
// header that straddles two steps is found, a boundary text inside a file
// that does not begin a line stays in the file.
TEST(KoReadSpooledMultipart, ReadsFieldsAndFilesWhateverTheStep) {
    const std::string file = std::string(70000, 'x') + "--zz not a delimiter\r\n-" + std::string(300, 'y');
    const std::string body = "preamble\r\n--zz\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nvalue\r\n"
                             "--zz\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.bin\"\r\n"
                             "Content-Type: application/x-thing\r\n\r\n" + file + "\r\n--zz\r\n"
                             "Content-Disposition: form-data; name=\"empty\"; filename=\"\"\r\n\r\n\r\n--zz--\r\n";
    const platform::TemporaryFile spooled = WriteTemporary(body);
    const std::string& path = spooled.path();
    KoMessageLimits limits;
    for (std::size_t step : {std::size_t(1), std::size_t(7), std::size_t(4096), std::size_t(1) << 20}) {
        std::vector<KoSpooledPart> parts;
        ASSERT_EQ(KoReadSpooledMultipart(path, "zz", limits, parts, step), 0) << step;
        ASSERT_EQ(parts.size(), 3u) << step;
        EXPECT_EQ(parts[0].name, "t");
        EXPECT_FALSE(parts[0].isFile);
        EXPECT_EQ(parts[0].text, "value");
        EXPECT_TRUE(parts[1].isFile);
        EXPECT_EQ(parts[1].fileName, "x.bin");
        EXPECT_EQ(parts[1].contentType, "application/x-thing");
        ASSERT_TRUE(parts[1].file);
        EXPECT_EQ(parts[1].file->size(), file.size()) << step;
        EXPECT_EQ(Contents(parts[1].file->path()), file) << step;
        EXPECT_TRUE(parts[2].isFile);
        EXPECT_EQ(parts[2].file->size(), 0u);
    }
}

TEST(KoReadSpooledMultipart, RefusesWhatIsNoSuchFormOrTooLarge) {
    KoMessageLimits small;
    small.maxFormFieldSize = 4;
    small.maxFormFields = 2;
    const struct {
        const char* body;
        const KoMessageLimits limits;
        std::int32_t status;
    } rows[] = {
        {"no delimiter at all", {}, 400},
        {"--zz\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ncut short", {}, 400},
        {"--zz\r\nContent-Disposition: form-data; name=\"t\"\r\n", {}, 400},
        {"--zz\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nlonger\r\n--zz--", small, 413},
        {"--zz\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--zz\r\nContent-Disposition: form-data; "
         "name=\"b\"\r\n\r\n2\r\n--zz\r\nContent-Disposition: form-data; name=\"c\"\r\n\r\n3\r\n--zz--",
         small, 413},
        {"--zz\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nfits\r\n--zz--", small, 0},
    };
    for (const auto& row : rows) {
        std::vector<KoSpooledPart> parts;
        const platform::TemporaryFile spooled = WriteTemporary(row.body);
        EXPECT_EQ(KoReadSpooledMultipart(spooled.path(), "zz", row.limits, parts, 3), row.status) << row.body;
    }
    std::vector<KoSpooledPart> parts;
    std::string gone;
    {
        const platform::TemporaryFile removed = WriteTemporary("");
        gone = removed.path();
    }
    EXPECT_EQ(KoReadSpooledMultipart(gone, "zz", {}, parts), 500);
}

}  // namespace
