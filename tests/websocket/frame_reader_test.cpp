#include "websocket/frame_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const KoWebSocketMask mask = {0x37, 0xfa, 0x21, 0x3d};

std::string Frame(KoWebSocketOpcode opcode, std::string_view payload, bool fin = true, bool compressed = false) {
    std::string out;
    appendWebSocketFrame(out, opcode, payload, fin, compressed, &mask);
    return out;
}

std::string Unmasked(KoWebSocketOpcode opcode, std::string_view payload) {
    std::string out;
    appendWebSocketFrame(out, opcode, payload);
    return out;
}

// The events of a stream as one text: "text:hello ping:x close:1000:bye
// failed:1002 ...", fed in the given pieces.
std::string Events(const std::vector<std::string_view>& pieces, std::size_t limit, bool deflate) {
    KoInflater inflater(15, false);
    KoWebSocketReader reader(limit, deflate ? &inflater : nullptr);
    std::string out;
    for (std::string_view piece : pieces) {
        while (true) {
            const auto event = reader.next(piece);
            if (event == KoWebSocketReader::Event::needMore) break;
            if (!out.empty()) out += ' ';
            switch (event) {
                case KoWebSocketReader::Event::message:
                    out += reader.opcode() == KoWebSocketOpcode::text ? "text:" : "binary:";
                    out += reader.takePayload();
                    break;
                case KoWebSocketReader::Event::ping: out += "ping:" + reader.takePayload(); break;
                case KoWebSocketReader::Event::pong: out += "pong:" + reader.takePayload(); break;
                case KoWebSocketReader::Event::close:
                    out += "close:" + std::to_string(reader.closeCode()) + ":" + reader.closeReason();
                    return out;
                case KoWebSocketReader::Event::failed:
                    out += "failed:" + std::to_string(reader.failureCode());
                    return out;
                case KoWebSocketReader::Event::needMore: break;
            }
        }
    }
    return out;
}

// The same events whether the stream comes whole, cut once anywhere (in a
// long payload: near its ends and at steps between), or a byte at a time.
std::string EveryWay(const std::string& stream, std::size_t limit = 1 << 20, bool deflate = false) {
    const std::string whole = Events({stream}, limit, deflate);
    for (std::size_t cut = 0; cut <= stream.size(); cut += (cut < 64 || cut + 64 > stream.size()) ? 1 : 1009) {
        const std::string_view view(stream);
        EXPECT_EQ(Events({view.substr(0, cut), view.substr(cut)}, limit, deflate), whole) << "cut at " << cut;
    }
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < stream.size(); ++i) bytes.push_back(std::string_view(stream).substr(i, 1));
    EXPECT_EQ(Events(bytes, limit, deflate), whole) << "byte by byte";
    return whole;
}

}  // namespace

TEST(KoWebSocketReader, ReadsMessagesAndControlFramesAtEverySplit) {
    using Op = KoWebSocketOpcode;
    const std::string big(70000, 'b');
    const std::string medium(300, 'm');
    struct Case {
        const char* name;
        std::string stream;
        std::string events;
    };
    const std::vector<Case> cases = {
        {"text", Frame(Op::text, "hello"), "text:hello"},
        {"empty text", Frame(Op::text, ""), "text:"},
        {"binary with a 16-bit length", Frame(Op::binary, medium), "binary:" + medium},
        {"binary with a 64-bit length", Frame(Op::binary, big), "binary:" + big},
        {"fragments joined, a ping between them",
         Frame(Op::text, "hel", false) + Frame(Op::ping, "p") + Frame(Op::continuation, "", false) +
             Frame(Op::continuation, "lo"),
         "ping:p text:hello"},
        {"UTF-8 cut between fragments", Frame(Op::text, "caf\xc3", false) + Frame(Op::continuation, "\xa9!"),
         "text:caf\xc3\xa9!"},
        {"pong", Frame(Op::pong, "x"), "pong:x"},
        {"close with code and reason", Frame(Op::close, webSocketClosePayload(1000, "bye")), "close:1000:bye"},
        {"close without payload", Frame(Op::close, ""), "close:1005:"},
        {"nothing after close is read", Frame(Op::close, "") + Frame(Op::text, "late"), "close:1005:"},
        {"unmasked frame", Unmasked(Op::text, "hi"), "failed:1002"},
        {"reserved bit", std::string("\xa1\x80", 2) + "\x37\xfa\x21\x3d", "failed:1002"},
        {"unknown opcode", Frame(static_cast<Op>(0x3), "x"), "failed:1002"},
        {"RSV1 without deflate", Frame(Op::text, "x", true, true), "failed:1002"},
        {"fragmented ping", Frame(Op::ping, "x", false), "failed:1002"},
        {"control frame over 125 bytes", Frame(Op::ping, std::string(126, 'p')), "failed:1002"},
        {"continuation with no message", Frame(Op::continuation, "x"), "failed:1002"},
        {"new message inside one", Frame(Op::text, "a", false) + Frame(Op::text, "b"), "failed:1002"},
        {"close payload of one byte", Frame(Op::close, "\x03"), "failed:1002"},
        {"close code 1005 on the wire", Frame(Op::close, webSocketClosePayload(1005, "")), "failed:1002"},
        {"close code 999", Frame(Op::close, webSocketClosePayload(999, "")), "failed:1002"},
        {"close code 5000", Frame(Op::close, webSocketClosePayload(5000, "")), "failed:1002"},
        {"close code 4000 is the application's", Frame(Op::close, webSocketClosePayload(4000, "x")), "close:4000:x"},
        {"close reason not UTF-8", Frame(Op::close, webSocketClosePayload(1000, "\xff")), "failed:1007"},
        {"text not UTF-8", Frame(Op::text, "ok") + Frame(Op::text, "a\xc0\xafz"), "text:ok failed:1007"},
        {"surrogate", Frame(Op::text, "\xed\xa0\x80"), "failed:1007"},
        {"text ending inside a character", Frame(Op::text, "\xe2\x82"), "failed:1007"},
        {"length not in its shortest form", std::string("\x81\xfe\x00\x05", 4) + "\x37\xfa\x21\x3d" + "hello",
         "failed:1002"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EveryWay(c.stream), c.events);
    }
}

TEST(KoWebSocketReader, AMessageAboveTheLimitFailsBeforeItsPayloadIsRead) {
    // An announced length is judged before any payload arrives, so a client
    // cannot make the server hold more than the limit.
    const std::string header = Frame(KoWebSocketOpcode::binary, std::string(2000, 'x')).substr(0, 8);
    EXPECT_EQ(Events({header}, 1000, false), "failed:1009");
    using Op = KoWebSocketOpcode;
    EXPECT_EQ(EveryWay(Frame(Op::text, std::string(600, 'a'), false) + Frame(Op::continuation, std::string(600, 'a')),
                       1000),
              "failed:1009");
    EXPECT_EQ(EveryWay(Frame(Op::text, std::string(1000, 'a')), 1000), "text:" + std::string(1000, 'a'));
}

TEST(KoWebSocketReader, InflatesCompressedMessagesWithinTheLimit) {
    using Op = KoWebSocketOpcode;
    KoDeflater deflater(15, false);
    const std::string first = deflater.compress("Hello");
    // The example of RFC 7692: "Hello" is f2 48 cd c9 c9 07 00.
    EXPECT_EQ(first, std::string("\xf2\x48\xcd\xc9\xc9\x07\x00", 7));
    const std::string second = deflater.compress("Hello");  // shorter: it refers to the first
    EXPECT_LT(second.size(), first.size());
    const std::string split = deflater.compress("fragmented");
    const std::string stream = Frame(Op::text, first, true, true) + Frame(Op::text, second, true, true) +
                               Frame(Op::text, split.substr(0, 3), false, true) +
                               Frame(Op::continuation, split.substr(3));
    EXPECT_EQ(EveryWay(stream, 1 << 20, true), "text:Hello text:Hello text:fragmented");

    // A bomb: 10 MiB of zeros in a few kilobytes.
    KoDeflater bomber(15, true);
    const std::string bomb = bomber.compress(std::string(10 << 20, '\0'));
    EXPECT_LT(bomb.size(), 20000u);
    EXPECT_EQ(Events({Frame(Op::binary, bomb, true, true)}, 1 << 20, true), "failed:1009");

    EXPECT_EQ(Events({Frame(Op::binary, "\xff\xff\xff\xff", true, true)}, 1 << 20, true), "failed:1002");
    EXPECT_EQ(Events({Frame(Op::continuation, "x", true, true)}, 1 << 20, true), "failed:1002");
    KoDeflater text(15, true);
    EXPECT_EQ(Events({Frame(Op::text, text.compress("\xff"), true, true)}, 1 << 20, true), "failed:1007");
}
