#include "websocket/handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "websocket/utf8_validator.h"

namespace {

KoWebSocketRequest Upgrade() {
    KoWebSocketRequest request;
    request.method = "GET";
    request.version = "HTTP/1.1";
    request.upgrade = "websocket";
    request.connection = "keep-alive, Upgrade";
    request.webSocketVersion = "13";
    request.key = "dGhlIHNhbXBsZSBub25jZQ==";
    return request;
}

}  // namespace

TEST(WebSocketHandshake, AcceptsAnUpgradeWithTheKeysAnswer) {
    // The example of RFC 6455.
    const auto accepted = KoAcceptWebSocket(Upgrade(), {}, false);
    EXPECT_EQ(accepted.status, 101);
    EXPECT_EQ(accepted.accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_TRUE(accepted.subprotocol.empty());
    EXPECT_FALSE(accepted.deflate);
}

TEST(WebSocketHandshake, RefusesWhatIsNotAWebSocketUpgrade) {
    struct Case {
        const char* name;
        void (*change)(KoWebSocketRequest&);
        int status;
    };
    const Case cases[] = {
        {"POST", [](KoWebSocketRequest& r) { r.method = "POST"; }, 405},
        {"HTTP/1.0", [](KoWebSocketRequest& r) { r.version = "HTTP/1.0"; }, 400},
        {"no Upgrade", [](KoWebSocketRequest& r) { r.upgrade = ""; }, 400},
        {"Upgrade: h2c", [](KoWebSocketRequest& r) { r.upgrade = "h2c"; }, 400},
        {"Connection without upgrade", [](KoWebSocketRequest& r) { r.connection = "keep-alive"; }, 400},
        {"Connection: x-upgraded", [](KoWebSocketRequest& r) { r.connection = "x-upgraded"; }, 400},
        {"version 8", [](KoWebSocketRequest& r) { r.webSocketVersion = "8"; }, 426},
        {"no version", [](KoWebSocketRequest& r) { r.webSocketVersion = ""; }, 426},
        {"no key", [](KoWebSocketRequest& r) { r.key = ""; }, 400},
        {"key of 15 bytes", [](KoWebSocketRequest& r) { r.key = "dGhlIHNhbXBsZSBub25j"; }, 400},
        {"key not base64", [](KoWebSocketRequest& r) { r.key = "dGhlIHNhbXBsZSBub25jZQ=!"; }, 400},
    };
    for (const Case& c : cases) {
        KoWebSocketRequest request = Upgrade();
        c.change(request);
        const auto answer = KoAcceptWebSocket(request, {}, false);
        EXPECT_EQ(answer.status, c.status) << c.name;
        EXPECT_NE(std::string(answer.refusal), "") << c.name;
    }
    KoWebSocketRequest anyCase = Upgrade();
    anyCase.upgrade = "WebSocket";
    anyCase.connection = "UPGRADE";
    EXPECT_EQ(KoAcceptWebSocket(anyCase, {}, false).status, 101);
}

TEST(WebSocketHandshake, ChoosesTheClientsFirstSubprotocolThatTheRouteOffers) {
    const std::vector<std::string> offered = {"chat.v2", "chat.v1"};
    const std::pair<const char*, const char*> cases[] = {
        {"chat.v1, chat.v2", "chat.v1"}, {"other, chat.v2", "chat.v2"}, {"other", ""}, {"", ""}, {" chat.v2 ", "chat.v2"},
    };
    for (const auto& [asked, chosen] : cases) {
        KoWebSocketRequest request = Upgrade();
        request.protocols = asked;
        EXPECT_EQ(KoAcceptWebSocket(request, offered, false).subprotocol, chosen) << asked;
    }
}

TEST(PerMessageDeflate, TakesTheFirstOfferItCanKeepTo) {
    const std::pair<const char*, const char*> cases[] = {
        {"permessage-deflate", "permessage-deflate"},
        {"permessage-deflate; client_max_window_bits", "permessage-deflate"},
        {"permessage-deflate; client_max_window_bits=10", "permessage-deflate; client_max_window_bits=10"},
        {"permessage-deflate; server_no_context_takeover; client_no_context_takeover",
         "permessage-deflate; server_no_context_takeover; client_no_context_takeover"},
        {"permessage-deflate; server_max_window_bits=10", "permessage-deflate; server_max_window_bits=10"},
        {"permessage-deflate; server_max_window_bits=8, permessage-deflate",
         "permessage-deflate"},  // zlib cannot keep to 8: the next offer
        {"x-webkit-deflate-frame, permessage-deflate; client_max_window_bits", "permessage-deflate"},
        {"permessage-deflate; unknown_parameter", ""},
        {"permessage-deflate; server_max_window_bits", ""},
        {"permessage-deflate; server_max_window_bits=16", ""},
        {"permessage-deflate; server_no_context_takeover; server_no_context_takeover", ""},
        {"permessage-deflate; server_no_context_takeover=1", ""},
        {"", ""},
    };
    for (const auto& [offers, response] : cases) {
        const auto chosen = choosePerMessageDeflate(offers);
        EXPECT_EQ(chosen ? chosen->responseValue() : std::string(), response) << offers;
    }
    KoWebSocketRequest request = Upgrade();
    request.extensions = "permessage-deflate";
    EXPECT_TRUE(KoAcceptWebSocket(request, {}, true).deflate);
    EXPECT_FALSE(KoAcceptWebSocket(request, {}, false).deflate);
}

TEST(PerMessageDeflate, WithoutContextTakeoverEachMessageStandsAlone) {
    KoDeflater keeps(15, false), forgets(15, true);
    const std::string text = "a message that repeats itself, a message that repeats itself";
    keeps.compress(text);
    forgets.compress(text);
    const std::string kept = keeps.compress(text);
    const std::string alone = forgets.compress(text);
    EXPECT_LT(kept.size(), alone.size());
    KoInflater fresh(15, true);
    std::string out;
    ASSERT_EQ(fresh.decompress(alone, 1 << 20, out), KoInflater::Outcome::done);
    EXPECT_EQ(out, text);
    ASSERT_EQ(fresh.decompress(alone, 1 << 20, out), KoInflater::Outcome::done);
    EXPECT_EQ(out, text);
    ASSERT_EQ(fresh.decompress(alone, 10, out), KoInflater::Outcome::tooLarge);
}

TEST(KoUtf8Validator, TakesUtf8AndNothingElseAtEverySplit) {
    const std::pair<std::string, bool> cases[] = {
        {"plain", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"\xf4\x8f\xbf\xbf", true},       // U+10FFFF
        {"\xef\xbb\xbf", true},           // a byte order mark is a character
        {"\xc0\xaf", false},              // overlong '/'
        {"\xe0\x80\xaf", false},          // overlong
        {"\xf0\x80\x80\xaf", false},      // overlong
        {"\xed\xa0\x80", false},          // a surrogate
        {"\xf4\x90\x80\x80", false},      // above U+10FFFF
        {"\xf5\x80\x80\x80", false},
        {"\x80", false},                  // a continuation with no lead
        {"\xc3", false},                  // cut
        {"\xe2\x82", false},
        {"\xc3\x28", false},
        {"\xff", false},
    };
    for (const auto& [text, valid] : cases) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            KoUtf8Validator validator;
            const bool fed = validator.feed(std::string_view(text).substr(0, cut)) &&
                             validator.feed(std::string_view(text).substr(cut));
            EXPECT_EQ(fed && validator.complete(), valid) << "cut at " << cut << " of " << text;
        }
    }
}
