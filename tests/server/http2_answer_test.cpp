#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "message/response_header.h"
#include "server/connection/http2_answer.h"
#include "server/http/http_answer.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// The fields an HTTP/2 answer carries: the text head's, in its order, with
// lower-case names and without what only an HTTP/1.1 connection means. A
// script's lines keep their place, lose their line breaks and the blanks
// around their values; its Connection line goes like the server's own.
TEST(KoMakeHttp2Answer, CarriesTheTextHeadsFieldsWithoutTheConnectionsOwn) {
    struct Case {
        const char* what;
        int status;
        bool unknownLength;
        std::vector<std::string> scriptLines;
        const char* server;  // the answer's own "server" field, or null
        int wantStatus;
        Fields want;
    };
    const std::string date = KoHttpDateNow();
    const std::vector<Case> cases = {
        {"a script's lines", 200, false, {"X-A:  b\t", "Connection: close", "X-Split: a\r\nb", ": nameless"}, "",
         200, {{"date", date}, {"content-length", "4"}, {"content-type", "text/html"}, {"x-a", "b"}, {"x-split", "ab"}}},
        {"a script's own Server and Date", 201, false, {"Server: mine", "Date: then"}, nullptr, 201,
         {{"content-length", "4"}, {"content-type", "text/html"}, {"server", "mine"}, {"date", "then"}}},
        {"a streamed answer", 200, true, {}, "chosen", 200,
         {{"server", "chosen"}, {"date", date}, {"content-type", "text/html"}}},
        {"no Server at all", 404, false, {}, "", 404, {{"date", date}, {"content-length", "4"}, {"content-type", "text/html"}}},
        // Lowered eight bytes at a time: letters on both sides of each eight, the
        // bytes just outside A-Z ('@', '[', '`', '{'), a byte past ASCII.
        {"names in any case", 200, false, {"X-Mixed-CASE-Name-Z@[`{\xc3\x84q: v", "ABCDEFGH: 8", "aBcDeFgHiJ: 10"}, "", 200,
         {{"date", date}, {"content-length", "4"}, {"content-type", "text/html"},
          {"x-mixed-case-name-z@[`{\xc3\x84q", "v"}, {"abcdefgh", "8"}, {"abcdefghij", "10"}}},
        {"a status that is not three digits", 1000, false, {}, "", 500,
         {{"date", date}, {"content-length", "4"}, {"content-type", "text/html"}}},
    };
    for (const Case& c : cases) {
        KoXResponseHeader response(3, false, 3);
        response.statusCode = c.status;
        response.lengthUnknown = c.unknownLength;
        response.fields["content-type"] = {"text/html"};
        if (!c.scriptLines.empty()) response.fields[kCgiLinesField] = c.scriptLines;
        if (c.server != nullptr) response.fields["server"] = {c.server};
        if (!c.unknownLength) response.Input().sputn("body", 4);
        std::uint64_t sent = 0;
        const KoHttp2Answer answer = KoMakeHttp2Answer(response, &sent);
        EXPECT_EQ(answer.status, c.wantStatus) << c.what;
        // The date is the second's; an answer made as it turned has the next.
        Fields got = answer.fields.pairs();
        for (auto& [name, value] : got) {
            if (name == "date" && value != date && value != "then") value = date;
        }
        EXPECT_EQ(got, c.want) << c.what;
    }
}

TEST(KoMakeHttp2Answer, TheServersOwnAnswerNamesTheProduct) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 200;
    std::uint64_t sent = 0;
    const KoHttp2Answer answer = KoMakeHttp2Answer(response, &sent);
    const std::string head = KoAnswerHead(response, 0, false);
    ASSERT_FALSE(answer.fields.empty());
    EXPECT_EQ(answer.fields[0].first, "server");
    EXPECT_NE(head.find("Server: " + std::string(answer.fields[0].second) + "\r\n"), std::string::npos) << head;
}

}  // namespace
