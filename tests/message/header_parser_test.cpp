#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "message/http_tables.h"
#include "message/x_header.h"
#include "split_harness.h"

using split_harness::Feed;
using split_harness::SameAtEverySplit;
using split_harness::Whole;

namespace {

std::vector<std::string> First(const std::string& message) {
    KoXHeader header(0, false, protocol::HTTP);
    header.AppendInput(message);
    header.ConsumeHeader(split_harness::Admit());
    return header.fields[":first:"];
}

struct Sample {
    const char* name;
    std::string bytes;
};

// Every sample parses the same however the bytes are split.
const std::vector<Sample> kSamples = {
    {"get", "GET /index.html HTTP/1.1\r\nHost: localhost:8080\r\n\r\n"},
    {"blanks", "GET   /a?x=1&y=%41   HTTP/1.1\r\nUser-Agent: a b\tc\r\n\r\n"},
    {"lower case", "get /a?b=1 http/1.1\r\nhost: x\r\n\r\n"},
    {"post body", "POST /f HTTP/1.1\r\nContent-Length: 7\r\nContent-Type: "
                  "application/x-www-form-urlencoded\r\n\r\na=x+y%2"},
    {"post body complete", "POST /f HTTP/1.1\r\nContent-Length: 9\r\nContent-Type: "
                           "application/x-www-form-urlencoded\r\n\r\na=x+y%2Bz"},
    {"pipelined", "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n"},
    {"body then next", "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabGET / HTTP/1.1\r\n\r\n"},
    {"status line", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc"},
    {"put", "PUT /x HTTP/1.1\r\nHost: a\r\n\r\n"},
    {"no version", "GET /x\r\nGET /y HTTP/1.1\r\n\r\n"},
    {"version 2", "GET /x HTTP/2.0\r\n\r\n"},
    {"values with blanks", "GET / HTTP/1.1\r\nCookie: a=1; b=two words\r\nUser-Agent: x (y; z) \r\n\r\n"},
    {"chunked", "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                "4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\nX-Trailer: t\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
    {"chunked upper hex", "POST /c HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"
                          "A\r\n0123456789\r\n00\r\n\r\n"},
    {"bare CR", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n"},
    {"folded", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n"},
    {"leading empty lines", "\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
    {"multipart", "POST /u HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
                  "Content-Length: 125\r\n\r\n"
                  "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\none\r\n"
                  "--XyZ\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\ntwo\r\n--XyZ--\r\n"},
};

}  // namespace

TEST(KoXHeader, EverySampleParsesTheSameAtEverySplit) {
    for (const Sample& sample : kSamples) {
        EXPECT_TRUE(SameAtEverySplit(sample.bytes)) << sample.name;
    }
}

TEST(KoXHeader, SeveralBlanksGiveTheSameTokensAsOne) {
    const auto expected = std::vector<std::string>{"GET", "/a", "HTTP/1.1"};
    EXPECT_EQ(First("GET /a HTTP/1.1\r\n\r\n"), expected);
    EXPECT_EQ(First("GET    /a     HTTP/1.1\r\n\r\n"), expected);
    EXPECT_EQ(First("  GET /a HTTP/1.1\r\n\r\n"), expected);
}

TEST(KoXHeader, LowerCaseRequestLineIsAGetWithPathAndQuery) {
    KoXHeader header(0, false, protocol::HTTP);
    header.AppendInput("get /a?b=1 http/1.1\r\n\r\n");
    EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Complete);
    EXPECT_EQ(header.messageKind.load(), message_kind::Request);
    EXPECT_EQ(header.methodCode.load(), method_code::GET);
    EXPECT_EQ(header.path, "/a");
    EXPECT_EQ(header.query, "b=1");
    EXPECT_EQ(header.fields[":first:"], (std::vector<std::string>{"GET", "/a?b=1", "HTTP/1.1"}));
}

TEST(KoXHeader, PostDropsTheQuery) {
    const auto o = Whole("POST /a?b=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(o.method, method_code::POST);
    EXPECT_EQ(o.path, "/a");
    EXPECT_EQ(o.query, "");
    EXPECT_EQ(o.blocks, "");
}

TEST(KoXHeader, HeadIsARequestThatKeepsItsQuery) {
    const auto o = Whole("HEAD /a?b=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(o.kind, message_kind::Request);
    EXPECT_EQ(o.method, method_code::HEAD);
    EXPECT_EQ(o.query, "b=1");
}

// A request line without a version took the next request's line as one of
// its header lines; other versions were served as HTTP/1.1, and a method
// outside the table was answered 500.
TEST(KoXHeader, RequestLineIsMethodTargetAndVersion) {
    const struct {
        const char* name;
        std::string line;
        std::int32_t status;  // 0: accepted
    } table[] = {
        {"HTTP/1.1", "GET /a HTTP/1.1", 0},
        {"HTTP/1.0", "POST /a HTTP/1.0", 0},
        {"HEAD", "HEAD /a HTTP/1.1", 0},
        {"tabs and blanks", " \tGET\t /a \tHTTP/1.1 \t", 0},
        {"lower case", "get /a http/1.1", 0},
        {"no version", "GET /a", 400},
        {"method only", "GET", 400},
        {"blanks only", "   ", 400},
        {"extra word", "GET /a HTTP/1.1 x", 400},
        {"blank in the target", "GET /a b HTTP/1.1", 400},
        {"control byte in the target", "GET /a\x01" "b HTTP/1.1", 400},
        {"DEL in the target", "GET /a\x7f HTTP/1.1", 400},
        {"other protocol", "GET /a FTP/1.1", 400},
        {"version without minor", "GET /a HTTP/1", 400},
        {"long version", "GET /a HTTP/1.10", 400},
        {"two-digit major", "GET /a HTTP/11.1", 400},
        {"VELKO version on HTTP", "GET /a VELKO/1.0", 400},
        {"HTTP/2.0", "GET /a HTTP/2.0", 505},
        {"HTTP/1.2", "GET /a HTTP/1.2", 505},
        {"HTTP/0.9", "GET /a HTTP/0.9", 505},
        {"PUT", "PUT /a HTTP/1.1", 0},
        {"DELETE", "DELETE /a HTTP/1.1", 0},
        {"OPTIONS", "OPTIONS /a HTTP/1.1", 0},
        {"outside the table", "BREW /a HTTP/1.1", 501},
        {"CONNECT", "CONNECT /a HTTP/1.1", 501},
        {"internal NONE", "NONE /a HTTP/1.1", 501},
        {"internal ANSWER", "ANSWER /a HTTP/1.1", 501},
        {"method no token", "G(T /a HTTP/1.1", 400},
        // Escapes were read by strtol: "%-1" became 0xFF, "%+2" 0x02, and
        // "/a%2/b.txt" named the file "a\x02b.txt".
        {"escape with a minus", "GET /a%-1 HTTP/1.1", 400},
        {"escape with a plus", "GET /a%+2 HTTP/1.1", 400},
        {"escape of one digit", "GET /a%2/b.txt HTTP/1.1", 400},
        {"escape cut short", "GET /a%2 HTTP/1.1", 400},
        {"escape at the end", "GET /a% HTTP/1.1", 400},
        {"escape not hex", "GET /a%zz HTTP/1.1", 400},
        {"escape in the query is the form's", "GET /a?x=%zz HTTP/1.1", 0},
    };
    for (const auto& row : table) {
        const std::string bytes = row.line + "\r\nHost: h\r\n\r\nGET /next HTTP/1.1\r\n\r\n";
        const auto o = Whole(bytes);
        EXPECT_TRUE(SameAtEverySplit(bytes)) << row.name;
        if (row.status == 0) {
            EXPECT_EQ(o.result, consume_result::Complete) << row.name;
            EXPECT_EQ(o.kind, message_kind::Request) << row.name;
            EXPECT_EQ(o.path, "/a") << row.name;
            EXPECT_NE(o.fields.find("host=[h]"), std::string::npos) << row.name;
            EXPECT_EQ(o.remainder, "GET /next HTTP/1.1\r\n\r\n") << row.name;
        } else {
            EXPECT_EQ(o.result, consume_result::Refused) << row.name;
            EXPECT_EQ(o.refusal, row.status) << row.name;
            EXPECT_TRUE(o.closeAfter) << row.name;
            EXPECT_EQ(o.remainder, "") << row.name;
        }
    }
}

TEST(KoXHeader, RefusedRequestLineNeverCallsTheFilter) {
    KoXHeader header(0, false, protocol::HTTP);
    int calls = 0;
    header.AppendInput("BREW /x HTTP/1.1\r\nHost: a\r\n\r\n");
    const int r = header.ConsumeHeader([&](KoXHeader&) { return ++calls, true; });
    EXPECT_EQ(r, consume_result::Refused);
    EXPECT_EQ(header.RefusalStatus(), 501);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(header.HasField("host"));
}

// An absolute-form target ("GET http://host/path") was looked up as a path
// beginning "http:" and answered 404.
TEST(KoXHeader, AbsoluteTargetGivesItsPathAndNamesTheHost) {
    const struct {
        const char* target;
        const char* path;   // nullptr: refused with 400
        const char* query;
        const char* host;
    } table[] = {
        {"http://localhost:8080/index.html", "/index.html", "", "localhost:8080"},
        {"HTTPS://Example.org/a/b?x=1", "/a/b", "x=1", "Example.org"},
        {"http://h", "/", "", "h"},
        {"http://h?q=2", "/", "q=2", "h"},
        {"http://[::1]:81/v", "/v", "", "[::1]:81"},
        {"http://h/redirect?to=http://other/", "/redirect", "to=http://other/", "h"},
        {"/plain?to=http://other/", "/plain", "to=http://other/", "sent"},
        {"ftp://h/file", nullptr, "", ""},
        {"http:///nohost", nullptr, "", ""},
        {"http://user@h/", nullptr, "", ""},
    };
    for (const auto& row : table) {
        const std::string bytes = std::string("GET ") + row.target + " HTTP/1.1\r\nHost: sent\r\n\r\n";
        EXPECT_TRUE(SameAtEverySplit(bytes)) << row.target;
        KoXHeader header(0, false, protocol::HTTP);
        header.AppendInput(bytes);
        const int result = header.ConsumeHeader(split_harness::Admit());
        if (row.path == nullptr) {
            EXPECT_EQ(result, consume_result::Refused) << row.target;
            EXPECT_EQ(header.RefusalStatus(), 400) << row.target;
            continue;
        }
        EXPECT_EQ(result, consume_result::Complete) << row.target;
        EXPECT_EQ(header.path, row.path) << row.target;
        EXPECT_EQ(header.query, row.query) << row.target;
        EXPECT_EQ(header.fields["host"], std::vector<std::string>{row.host}) << row.target;
        // The log keeps the target as it was sent.
        EXPECT_EQ(header.fields[":first:"][1], row.target);
        EXPECT_EQ(header.HostFieldLines(), 1u);
    }
}

TEST(KoXHeader, HostLinesAreCountedEvenWhenEmpty) {
    const struct {
        std::string lines;
        std::size_t count;
    } table[] = {
        {"", 0}, {"Host: a\r\n", 1}, {"Host:\r\n", 1}, {"HOST: a\r\nhost: b\r\n", 2}, {"Hostname: a\r\n", 0},
    };
    for (const auto& row : table) {
        KoXHeader header(0, false, protocol::HTTP);
        header.AppendInput("GET / HTTP/1.1\r\n" + row.lines + "\r\n");
        EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Complete) << row.lines;
        EXPECT_EQ(header.HostFieldLines(), row.count) << row.lines;
    }
}

// The VELKO layer reads "VELKO/" where HTTP reads "HTTP/".
TEST(KoXHeader, VelkoRequestsMayCarryTheirOwnVersion) {
    for (std::int32_t code : {protocol::VELKO, protocol::VELKOS}) {
        KoXHeader header(0, false, code);
        header.AppendInput("GET /v VELKO/1.0\r\n\r\n");
        EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Complete) << code;
        EXPECT_EQ(header.path, "/v");
    }
    KoXHeader velko(0, false, protocol::VELKO);
    velko.AppendInput("GET /v VELKO/2.0\r\n\r\n");
    EXPECT_EQ(velko.ConsumeHeader(split_harness::Admit()), consume_result::Refused);
    EXPECT_EQ(velko.RefusalStatus(), 505);
}

TEST(KoXHeader, StatusLineIsAnAnswer) {
    KoXHeader header(1, false, protocol::HTTP);
    header.AppendInput("HTTP/1.1 200 ok\r\n\r\n");
    EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Complete);
    EXPECT_EQ(header.messageKind.load(), message_kind::Answer);
    EXPECT_EQ(header.fields[":first:"], (std::vector<std::string>{"HTTP/1.1", "200", "OK"}));
    EXPECT_EQ(header.statusCode, 200);
    EXPECT_EQ(First("VELKO/1.0 201 Created For You\r\n\r\n"),
              (std::vector<std::string>{"VELKO/1.0", "201", "CREATED FOR YOU"}));
}

TEST(KoXHeader, FieldLinesFollowTheBlankAndColonRules) {
    const auto o = Whole(
        "GET / HTTP/1.1\r\n"
        "Host: localhost:8080\r\n"
        "Content-Type: multipart/form-data; boundary=x\r\n"
        "X-Colons: :a:b\r\n"
        "X-Empty:   \r\n"
        "Accept: a\r\n"
        "ACCEPT: b\r\n\r\n");
    EXPECT_EQ(o.result, consume_result::Complete);
    EXPECT_EQ(o.fields,
              ":first:=[GET][/][HTTP/1.1];accept=[a][b];content-type=[multipart/form-data; boundary=x];"
              "host=[localhost:8080];x-colons=[:a:b];");
}

// Every blank inside a value was dropped: "Basic dXNlcjpwYXNz" reached
// scripts as "BasicdXNlcjpwYXNz", cookies and dates were changed.
TEST(KoXHeader, FieldValuesAreKeptAsReceived) {
    const struct {
        std::string line;
        std::string value;
    } table[] = {
        {"Authorization: Basic dXNlcjpwYXNz", "Basic dXNlcjpwYXNz"},
        {"Cookie: a=1; b=two words", "a=1; b=two words"},
        {"User-Agent:   Mozilla/5.0 (X11; Linux)\t ", "Mozilla/5.0 (X11; Linux)"},
        {"If-Modified-Since:\tWed, 21 Oct 2015 07:28:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT"},
        {"X-Inner:a \t b", "a \t b"},
        {"X-Colon: : a", ": a"},
        {"X-Obs-Text: caf\xe9 \xff", "caf\xe9 \xff"},
    };
    for (const auto& row : table) {
        const std::string bytes = "GET / HTTP/1.1\r\n" + row.line + "\r\n\r\n";
        KoXHeader header(0, false, protocol::HTTP);
        header.AppendInput(bytes);
        ASSERT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Complete) << row.line;
        const std::string name = row.line.substr(0, row.line.find(':'));
        std::string lower;
        for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(header.FirstValue(lower, "<absent>"), row.value) << row.line;
        EXPECT_TRUE(SameAtEverySplit(bytes)) << row.line;
    }
}

TEST(KoXHeader, FilterDecidesAtTheEndOfTheHeader) {
    KoXHeader header(0, false, protocol::HTTP);
    header.AppendInput("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    std::string seenHost;
    const int r = header.ConsumeHeader([&](KoXHeader& h) {
        seenHost = h.FirstValue("host");
        return false;
    });
    EXPECT_EQ(r, consume_result::Refused);
    EXPECT_EQ(seenHost, "a");
    EXPECT_EQ(header.RefusalStatus(), 403);
    EXPECT_TRUE(header.closeAfter);

    KoXHeader unfiltered(0, false, protocol::HTTP);
    unfiltered.AppendInput("GET / HTTP/1.1\r\n\r\n");
    EXPECT_THROW(unfiltered.ConsumeHeader(KoXHeader::Filter()), std::bad_function_call);
    // The header is not read on as if the filter had agreed.
    EXPECT_EQ(unfiltered.ConsumeHeader(split_harness::Admit()), consume_result::Refused);
    EXPECT_EQ(unfiltered.RefusalStatus(), 500);
}

TEST(KoXHeader, ConnectionCloseAndHttp10SetTheCloseFlag) {
    EXPECT_TRUE(Whole("GET / HTTP/1.1\r\nConnection: close\r\n\r\n").closeAfter);
    EXPECT_TRUE(Whole("GET / HTTP/1.1\r\nConnection: Keep-Alive, Close\r\n\r\n").closeAfter);
    EXPECT_FALSE(Whole("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n").closeAfter);
    EXPECT_FALSE(Whole("GET / HTTP/1.1\r\n\r\n").closeAfter);
    EXPECT_TRUE(Whole("GET / HTTP/1.0\r\n\r\n").closeAfter);
    EXPECT_FALSE(Whole("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n").closeAfter);
    // "x-closed-thing" closed the connection: the field was searched for
    // "close" anywhere instead of read as a list of tokens.
    EXPECT_FALSE(Whole("GET / HTTP/1.1\r\nConnection: x-closed-thing\r\n\r\n").closeAfter);
    EXPECT_FALSE(Whole("GET / HTTP/1.1\r\nConnection: closed, enclose\r\n\r\n").closeAfter);
    EXPECT_TRUE(Whole("GET / HTTP/1.1\r\nConnection: te,\tCLOSE \r\n\r\n").closeAfter);
    EXPECT_TRUE(Whole("GET / HTTP/1.1\r\nConnection: te\r\nConnection: close\r\n\r\n").closeAfter);
    EXPECT_TRUE(Whole("GET / HTTP/1.0\r\nConnection: not-keep-alive\r\n\r\n").closeAfter);
    EXPECT_FALSE(Whole("GET / HTTP/1.0\r\nConnection: te, Keep-Alive\r\n\r\n").closeAfter);
}

TEST(KoXHeader, BodyOfContentLengthBytes) {
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(Whole(head + "abc").result, consume_result::NeedMore);
    const auto exact = Whole(head + "abcde");
    EXPECT_EQ(exact.result, consume_result::Complete);
    EXPECT_EQ(exact.body, "abcde");
    EXPECT_EQ(exact.remainder, "");
    const auto zero = Whole("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(zero.result, consume_result::Complete);
    EXPECT_EQ(zero.body, "");
}

// Bytes behind a complete body used to refuse the message; they are the
// start of the next request on the connection.
TEST(KoXHeader, BytesAfterTheBodyStayForTheNextMessage) {
    const auto o = Whole("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcdeGET /n");
    EXPECT_EQ(o.result, consume_result::Complete);
    EXPECT_EQ(o.body, "abcde");
    EXPECT_EQ(o.remainder, "GET /n");
}

TEST(KoXHeader, PipelinedRequestsInOneChunkAndAcrossChunks) {
    const std::string stream =
        "GET /1 HTTP/1.1\r\nHost: a\r\n\r\n"
        "POST /2 HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz"
        "POST /3 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n"
        "GET /4?q=1 HTTP/1.1\r\n\r\n";
    const std::vector<std::string> paths = {"/1", "/2", "/3", "/4"};
    const std::vector<std::string> bodies = {"", "xyz", "hi", ""};

    for (std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{33}}) {
        std::vector<std::string> got;
        std::vector<std::string> gotBodies;
        auto header = std::make_unique<KoXHeader>(0, false, protocol::HTTP);
        std::size_t sent = 0;
        int guard = 0;
        while (got.size() < paths.size() && ++guard < 10000) {
            if (sent < stream.size()) {
                header->AppendInput(stream.substr(sent, chunk));
                sent += chunk;
            }
            const int r = header->ConsumeHeader(split_harness::Admit());
            ASSERT_NE(r, consume_result::Refused);
            if (r == consume_result::NeedMore) {
                ASSERT_LT(sent, stream.size() + chunk) << "stalled";
                continue;
            }
            got.push_back(header->path);
            gotBodies.push_back(header->Body());
            const std::string rest = header->TakeRemainder();
            header = std::make_unique<KoXHeader>(0, false, protocol::HTTP);
            header->AppendInput(rest);
        }
        EXPECT_EQ(got, paths) << "chunk " << chunk;
        EXPECT_EQ(gotBodies, bodies) << "chunk " << chunk;
    }
}

TEST(KoXHeader, EmptyLinesBeforeTheRequestLineAreSkipped) {
    const auto o = Whole("\r\n\r\nGET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(o.result, consume_result::Complete);
    EXPECT_EQ(o.path, "/x");
}

TEST(KoXHeader, ChunkedBodyIsDecoded) {
    const auto o = Whole(
        "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4;name=value\r\nWiki\r\n5 ;x\r\npedia\r\n0000\r\nX-Trailer: t\r\n\r\nNEXT");
    EXPECT_EQ(o.result, consume_result::Complete);
    EXPECT_EQ(o.body, "Wikipedia");
    EXPECT_EQ(o.remainder, "NEXT");
    EXPECT_NE(o.fields.find("content-length=[9]"), std::string::npos) << o.fields;
    EXPECT_EQ(o.fields.find("transfer-encoding"), std::string::npos) << o.fields;
}

TEST(KoXHeader, ChunkedBodyIsDecodedAtEverySplit) {
    std::string body;
    for (int i = 0; i < 40; ++i) body += static_cast<char>(i * 7);
    std::string coded = "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Type: text/x\r\n\r\n";
    coded += "1e\r\n" + body.substr(0, 30) + "\r\na\r\n" + body.substr(30) + "\r\n0\r\n\r\n";
    EXPECT_EQ(Whole(coded).body, body);
    EXPECT_TRUE(SameAtEverySplit(coded));
}

namespace {

struct Refusal {
    const char* name;
    std::string bytes;
    std::int32_t status;
};

std::string Post(const std::string& fields) { return "POST / HTTP/1.1\r\n" + fields + "\r\n"; }

}  // namespace

TEST(KoXHeader, AmbiguousFramingIsRefused) {
    const std::vector<Refusal> table = {
        {"signed length", Post("Content-Length: +5\r\n") + "abcde", 400},
        {"negative length", Post("Content-Length: -1\r\n"), 400},
        {"hex length", Post("Content-Length: 0x5\r\n") + "abcde", 400},
        {"trailing letters", Post("Content-Length: 5a\r\n") + "abcde", 400},
        {"twenty digits", Post("Content-Length: 00000000000000000005\r\n") + "abcde", 400},
        {"inner blank", Post("Content-Length: 1 0\r\n") + "0123456789", 400},
        {"list of lengths", Post("Content-Length: 5,5\r\n") + "abcde", 400},
        {"different lengths", Post("Content-Length: 5\r\nContent-Length: 6\r\n") + "abcdef", 400},
        {"length and coding", Post("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n") + "0\r\n\r\n", 400},
        {"coding on 1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {"unknown coding", Post("Transfer-Encoding: gzip\r\n"), 501},
        {"coding list", Post("Transfer-Encoding: gzip, chunked\r\n"), 501},
        {"blank before colon", Post("Host : a\r\n"), 400},
        {"blank inside name", Post("Content Length: 5\r\n"), 400},
        {"NUL", Post(std::string("X: a\0b\r\n", 8)), 400},
        {"bare CR", Post("X: a\rb\r\n"), 400},
        {"bare LF", Post("X: a\nContent-Length: 5\r\n"), 400},
        {"folded line", Post("X: a\r\n\tb\r\n"), 400},
        {"chunk without digits", Post("Transfer-Encoding: chunked\r\n") + "\r\n\r\n", 400},
        {"chunk data too long", Post("Transfer-Encoding: chunked\r\n") + "2\r\nabc\r\n0\r\n\r\n", 400},
        {"chunk bad size", Post("Transfer-Encoding: chunked\r\n") + "2x\r\nab\r\n0\r\n\r\n", 400},
        // Lines that were repaired or skipped, so that the server framed a
        // message other than a front end in its place would: a leading ':'
        // was dropped, a vertical tab kept in the name, a line without a
        // colon skipped, a blank after a chunk size ignored.
        {"leading colon", Post(":Content-Length: 5\r\n") + "abcde", 400},
        {"two leading colons", Post("::Transfer-Encoding: chunked\r\n") + "0\r\n\r\n", 400},
        {"colon alone", Post(": x\r\n"), 400},
        {"vertical tab in a name", Post("Content-Length\x0b: 5\r\n") + "abcde", 400},
        {"form feed in a name", Post("Content-Length\x0c: 5\r\n") + "abcde", 400},
        {"line without a colon", Post("no colon at all\r\n"), 400},
        {"name alone", Post("Content-Length\r\n"), 400},
        {"chunk size and a blank", Post("Transfer-Encoding: chunked\r\n") + "3 \r\nabc\r\n0\r\n\r\n", 400},
        {"chunk size and a tab", Post("Transfer-Encoding: chunked\r\n") + "3\t\r\nabc\r\n0\r\n\r\n", 400},
        {"control byte in a value", Post("X: a\x01b\r\n"), 400},
        {"DEL in a value", Post("X: a\x7f\r\n"), 400},
        {"escape in a value", Post("X: \x1b[31m\r\n"), 400},
        {"empty length", Post("Content-Length:\r\n"), 400},
        {"empty coding", Post("Transfer-Encoding:  \r\n"), 400},
        // Names that are no tokens reached scripts past the Host check and
        // the httpoxy filter ("HTTP_HOST=EVIL.EXAMPLE/=x", "HTTP_PROXY==...").
        {"host with equals and slash", Post("Host=evil.example/: x\r\n"), 400},
        {"proxy with equals", Post("Proxy=: http://evil.example:8080\r\n"), 400},
        {"name with brackets", Post("X[1]: v\r\n"), 400},
        {"name with a quote", Post("X\"Y: v\r\n"), 400},
        {"name with obs-text", Post("X\xe9: v\r\n"), 400},
    };
    for (const Refusal& row : table) {
        const auto o = Whole(row.bytes);
        EXPECT_EQ(o.result, consume_result::Refused) << row.name;
        EXPECT_EQ(o.refusal, row.status) << row.name;
        EXPECT_TRUE(o.closeAfter) << row.name;
        EXPECT_TRUE(SameAtEverySplit(row.bytes)) << row.name;
    }
}

TEST(KoXHeader, RepeatedEqualLengthsAreAccepted) {
    const auto o = Whole(Post("Content-Length: 3\r\nContent-Length: 003\r\n") + "abc");
    EXPECT_EQ(o.result, consume_result::Complete);
    EXPECT_EQ(o.body, "abc");
}

TEST(KoXHeader, LimitsRefuseWithTheirStatus) {
    KoMessageLimits small;
    small.maxLineLength = 32;
    small.maxHeaderSize = 128;
    small.maxFieldCount = 3;
    small.maxBodySize = 10;
    KoMessageLimits roomy = small;
    roomy.maxFieldCount = 100;

    struct Row {
        const char* name;
        std::string bytes;
        KoMessageLimits limits;
        std::int32_t status;
        std::string reason;
    };
    const std::string field(25, 'v');
    const std::vector<Row> table = {
        {"long request line", "GET /" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n", small, 431, "header line too long"},
        {"long field line", Post("X: " + std::string(40, 'a') + "\r\n"), small, 431, "header line too long"},
        {"long line without end", "GET /" + std::string(40, 'a'), small, 431, "header line too long"},
        {"header size", Post("A: " + field + "\r\nB: " + field + "\r\nC: " + field + "\r\nD: " + field + "\r\nE: 1"),
         roomy, 431, "header too large"},
        {"field count", Post("A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n"), small, 431, "too many header fields"},
        {"body length", Post("Content-Length: 11\r\n"), small, 413, "body too large"},
        {"chunked body", Post("Transfer-Encoding: chunked\r\n") + "6\r\nabcdef\r\n5\r\nghijk\r\n0\r\n\r\n", small, 413,
         "chunked body too large"},
        {"huge chunk", Post("Transfer-Encoding: chunked\r\n") + "ffffffffffffffffffff\r\n", small, 413,
         "chunked body too large"},
        {"long chunk line", Post("Transfer-Encoding: chunked\r\n") + "1;" + std::string(40, 'e') + "\r\n", small, 413,
         "chunked body too large"},
        {"long trailer", Post("Transfer-Encoding: chunked\r\n") + "0\r\nT: " + std::string(140, 't'), roomy, 413,
         "chunked body too large"},
    };
    for (const Row& row : table) {
        KoXHeader header(0, false, protocol::HTTP, row.limits);
        header.AppendInput(row.bytes);
        EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Refused) << row.name;
        EXPECT_EQ(header.RefusalStatus(), row.status) << row.name;
        EXPECT_EQ(header.RefusalReason(), row.reason) << row.name;
        EXPECT_TRUE(SameAtEverySplit(row.bytes, row.limits)) << row.name;
    }

    // Right at the limits everything is accepted.
    const auto fits = Whole(Post("A: 1\r\nB: 2\r\nContent-Length: 10\r\n") + "0123456789", small);
    EXPECT_EQ(fits.result, consume_result::Complete);
    EXPECT_EQ(fits.body, "0123456789");
}

TEST(KoXHeader, DefaultLimits) {
    const KoMessageLimits limits;
    EXPECT_EQ(limits.maxLineLength, 8u * 1024);
    EXPECT_EQ(limits.maxHeaderSize, 64u * 1024);
    EXPECT_EQ(limits.maxFieldCount, 100u);
    EXPECT_EQ(limits.maxBodySize, 64ull * 1024 * 1024);

    // 101 short fields pass no other limit but the count.
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 101; ++i) many += "X" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(Whole(many + "\r\n").refusal, 431);
    EXPECT_EQ(Whole("GET /" + std::string(8 * 1024, 'a') + " HTTP/1.1\r\n\r\n").refusal, 431);
}

TEST(KoXHeader, RefusedHeaderStaysRefused) {
    KoXHeader header(0, false, protocol::HTTP);
    header.AppendInput(std::string("GET / HTTP/1.1\r\nX: a\0\r\n\r\n", 25));
    EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Refused);
    header.AppendInput("more");
    EXPECT_EQ(header.ConsumeHeader(split_harness::Admit()), consume_result::Refused);
    EXPECT_EQ(header.TakeRemainder(), "");
}
