// End to end over HTTP/2 (ALPN "h2"): curl --http2 as a user runs it
// (files with validators, 304, ranges, HEAD, a CGI script fed a POST body,
// a large file byte for byte), h2load with 100 streams at once on one
// connection, nghttp's view of the server's SETTINGS, and hostile clients
// written frame by frame through openssl s_client: each flood, bomb or
// stalled reader gets GOAWAY and a closed connection, and the server goes on
// answering others.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "message/response_header.h"
#include "message/transceiver.h"
#include "server/routing/router_services.h"
#include "tls_site.h"

namespace {

using tls_site::Quoted;

class Http2 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        Script("echo.sh", "cat\n");
        Script("stalls.sh", "head -c 100000 /dev/zero\nsleep 5\n");
        Script("sum.sh", "md5sum\n");
        KoApplicationSettings settings;
        settings.http.limits.maxBodySize = kMaxBody;
        settings.http.http2.bodiesInMemory = kBodiesInMemory;
        settings.http.cgiTimeout = std::chrono::milliseconds(2000);
        settings.http.http2.stalledOutputTimeout = std::chrono::milliseconds(300);
        settings.http.http2.idleTimeout = std::chrono::milliseconds(500);
        settings.http.headerDeadline = std::chrono::milliseconds(500);
        ASSERT_TRUE(server.start(site, settings));
        port = server.base.substr(server.base.rfind(':') + 1);
    }

    void Script(const std::string& name, const std::string& body) {
        const std::string path = site.htmlroot + "cgi-bin/" + name;
        tls_test::writeFile(path, "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n" + body);
        tls_test::run("chmod", {"755", path});
    }

    // curl --http2 -i: the head and body, then the protocol version it spoke.
    tls_test::CommandResult Curl(std::vector<std::string> arguments, const std::string& target) {
        std::vector<std::string> all = {"-s", "-i", "--http2", "--max-time", "30", "--cacert", site.certificate,
                                        "-w", "\n[%{http_version}]"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        all.push_back(server.base + target);
        return tls_test::run("curl", all, "", 40000);
    }
    std::string File(const std::string& name) const { return site.directory + "/" + name; }

    static constexpr std::uint64_t kMaxBody = 24u << 20;
    // Below two bodies of a raw client's test, within its 64 KiB window.
    static constexpr std::size_t kBodiesInMemory = 40000;
    tls_site::Site site;
    tls_site::LoggedServer server;
    std::string port;
};

// --- a raw HTTP/2 client -------------------------------------------------------

std::string Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const std::string& payload) {
    std::string out;
    const std::size_t n = payload.size();
    out += static_cast<char>((n >> 16) & 0xff);
    out += static_cast<char>((n >> 8) & 0xff);
    out += static_cast<char>(n & 0xff);
    out += static_cast<char>(type);
    out += static_cast<char>(flags);
    const std::uint32_t id = stream & 0x7fffffffu;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((id >> shift) & 0xff);
    return out + payload;
}

enum FrameType : std::uint8_t { DATA = 0, HEADERS = 1, RST_STREAM = 3, SETTINGS = 4, PING = 6, GOAWAY = 7,
                                CONTINUATION = 9 };
enum FrameFlag : std::uint8_t { END_STREAM = 1, END_HEADERS = 4 };
constexpr std::uint32_t kEnhanceYourCalm = 0xb;
constexpr std::uint32_t kNoError = 0;

const std::string kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

// A literal field without indexing (HPACK), names and values below 127 bytes.
std::string Literal(const std::string& name, const std::string& value) {
    return std::string(1, '\0') + static_cast<char>(name.size()) + name + static_cast<char>(value.size()) + value;
}

// GET path: :method GET, :scheme https (static table), :path and :authority.
std::string Get(const std::string& path) {
    return std::string("\x82\x87") + Literal(":path", path) + Literal(":authority", "localhost");
}

std::string Bytes4(std::uint32_t value) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xff);
    return out;
}

struct ServerFrames {
    bool goaway = false;
    std::size_t headers = 0;
    std::uint32_t goawayCode = 0;
    std::size_t frames = 0;
};

ServerFrames ReadFrames(const std::string& bytes) {
    ServerFrames seen;
    std::size_t at = 0;
    while (at + 9 <= bytes.size()) {
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[at + i]); };
        const std::size_t length = (std::size_t{byte(0)} << 16) | (std::size_t{byte(1)} << 8) | byte(2);
        if (at + 9 + length > bytes.size()) break;
        ++seen.frames;
        if (byte(3) == HEADERS) ++seen.headers;
        if (byte(3) == GOAWAY && length >= 8) {
            seen.goaway = true;
            seen.goawayCode = 0;
            for (std::size_t i = 13; i < 17; ++i) seen.goawayCode = (seen.goawayCode << 8) | byte(i);
        }
        at += 9 + length;
    }
    return seen;
}

// Sends bytes after the preface through openssl s_client (ALPN h2) and
// returns what the server sent back, once it closed the connection.
std::string Exchange(const std::string& site, const std::string& port, const std::string& bytes) {
    tls_test::writeFile(site + "/frames.bin", kPreface + bytes);
    tls_site::Shell("openssl s_client -alpn h2 -quiet -connect 127.0.0.1:" + port + " <" +
                                         Quoted(site + "/frames.bin") + " >" + Quoted(site + "/answer.bin") +
                                         " 2>/dev/null",
                                     30000);
    return tls_test::readFile(site + "/answer.bin");
}

}  // namespace

// One request per row, as curl --http2 sends it, and what its answer must
// and must not hold.
TEST_F(Http2, ServesWhatHttp11ServesWithTheSameMeaning) {
    const std::string index = tls_test::readFile(site.htmlroot + "index.html");
    const auto first = Curl({}, "/style.css");
    ASSERT_TRUE(first.ok) << first.output;
    const std::size_t tagAt = first.output.find("etag: ");
    ASSERT_NE(tagAt, std::string::npos) << first.output;
    const std::string tag = first.output.substr(tagAt + 6, first.output.find("\r\n", tagAt) - tagAt - 6);
    std::string posted;
    for (int i = 0; posted.size() < 200 * 1024; ++i) posted += "line " + std::to_string(i) + "\n";
    tls_test::writeFile(File("posted.txt"), posted);
    tls_test::writeFile(File("secret.txt"), "top secret");

    struct Row {
        std::vector<std::string> curl;
        std::string target;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Row> rows = {
        {{}, "/index.html",
         {"HTTP/2 200", "content-type: text/html", "content-length: " + std::to_string(index.size()),
          "accept-ranges: bytes", "last-modified: ", "date: ", "\r\n\r\n" + index + "\n[2]"},
         {"connection:", "keep-alive", "transfer-encoding"}},
        {{"-H", "If-None-Match: " + tag}, "/style.css", {"HTTP/2 304", "etag: " + tag, "\r\n\r\n\n[2]"}, {}},
        {{"-I"}, "/index.html", {"HTTP/2 200", "content-length: " + std::to_string(index.size()), "\r\n\r\n\n[2]"},
         {"<html"}},
        {{"-r", "0-9"}, "/index.html",
         {"HTTP/2 206", "content-range: bytes 0-9/" + std::to_string(index.size()),
          "\r\n\r\n" + index.substr(0, 10) + "\n[2]"},
         {}},
        {{}, "/", {"HTTP/2 200", index + "\n[2]"}, {}},
        {{}, "/cgi-bin", {"HTTP/2 30", "location: "}, {}},
        {{}, "/missing.html", {"HTTP/2 404"}, {}},
        {{"--data-binary", "@" + File("posted.txt")}, "/cgi-bin/echo.sh",
         {"HTTP/2 200", "content-type: text/plain", "\r\n\r\n" + posted + "\n[2]"}, {}},
        {{}, "/cgi-bin/hello.sh?x=1", {"HTTP/2 200", "QUERY_STRING=x=1", "REQUEST_METHOD=GET"}, {}},
        {{"--path-as-is"}, "/../secret.txt", {"HTTP/2 404"}, {"top secret"}},
        {{"--path-as-is"}, "/%2e%2e/secret.txt", {"HTTP/2 404"}, {"top secret"}},
    };
    for (const Row& row : rows) {
        const auto got = Curl(row.curl, row.target);
        EXPECT_TRUE(got.ok) << row.target;
        for (const std::string& piece : row.present)
            EXPECT_NE(got.output.find(piece), std::string::npos) << row.target << " lacks " << piece << "\n" << got.output;
        for (const std::string& piece : row.absent)
            EXPECT_EQ(got.output.find(piece), std::string::npos) << row.target << " has " << piece << "\n" << got.output;
    }
    std::string all;
    EXPECT_EQ(server.count("127.0.0.1 - HTTP/2.0 - [", &all), server.log().size()) << all;
    EXPECT_EQ(server.count("\"GET /index.html\" --> 200 "), 1u) << all;
    EXPECT_EQ(server.count("\"HEAD /index.html\" --> 200 0 "), 1u) << all;
    EXPECT_EQ(server.count("\"GET /style.css\" --> 304 "), 1u) << all;
    EXPECT_EQ(server.count("\"POST /cgi-bin/echo.sh\" --> 200 "), 1u) << all;
}

// Request bodies over HTTP/2 were held whole in the session and refused
// with 413 above 16 MiB, whatever the server's maxBody; now they go through
// the parser as they arrive, kept, spilled and bounded as over HTTP/1.1.
// One row per body: with a length or from a pipe (no length: read as
// chunks), below and above maxBody.
TEST_F(Http2, RequestBodiesAreReadAsOverHttp11UpToMaxBody) {
    const auto Made = [this](const std::string& name, std::size_t size) {
        std::string bytes;
        bytes.reserve(size + 16);
        for (std::size_t i = 0; bytes.size() < size; ++i) bytes += std::to_string(i * 7919) + ",";
        bytes.resize(size);
        tls_test::writeFile(File(name), bytes);
        const auto sum = tls_test::run("md5sum", {File(name)});
        return sum.output.substr(0, 32);
    };
    const std::string within = Made("within.bin", 20u << 20);
    const std::string above = Made("above.bin", (kMaxBody + (1u << 20)));
    ASSERT_EQ(within.size(), 32u);

    struct Row {
        bool piped;  // from a pipe curl announces no length
        std::string file;
        std::string status;
        std::string body;
    };
    const std::vector<Row> rows = {
        {false, "within.bin", "HTTP/2 200", "\r\n\r\n" + within + "  -"},
        {true, "within.bin", "HTTP/2 200", "\r\n\r\n" + within + "  -"},
        {false, "above.bin", "HTTP/2 413", ""},
        {true, "above.bin", "HTTP/2 413", ""},
    };
    for (const Row& row : rows) {
        const std::string file = Quoted(File(row.file));
        const std::string curl = "curl -s -i --http2 --max-time 30 --cacert " + Quoted(site.certificate) + " " +
                                 (row.piped ? "-X POST -T - " : "--data-binary @" + file + " ") +
                                 Quoted(server.base + "/cgi-bin/sum.sh");
        const auto got = tls_site::Shell(row.piped ? "cat " + file + " | " + curl : curl);
        const std::string where = row.file + (row.piped ? " piped" : " with a length");
        EXPECT_NE(got.output.find(row.status), std::string::npos) << where << "\n" << got.output.substr(0, 400);
        EXPECT_NE(got.output.find(row.body), std::string::npos) << where << "\n" << got.output.substr(0, 400);
    }
    std::string all;
    EXPECT_EQ(server.count("\"POST /cgi-bin/sum.sh\" --> 200 ", &all), 2u) << all;
}

// A body kept in memory (a form, where the host has commands) was bounded
// by maxBody alone once its stream's window went back as the parser took
// it: one connection's streams could hold 100 x maxBody. Now they share one
// bound: a form past it is answered 413, a script's body goes to its file
// instead. Two streams of 30000 bytes each on one connection, the first
// still open when the second comes.
TEST_F(Http2, BodiesHeldInMemoryShareOneBoundPerConnection) {
    class Forms final : public KoApplicationHandler {
    public:
        std::string handlerName() const override { return "forms"; }
        void message(KoXHeader&, KoXResponseHeader& response, const std::string&) override { response.statusCode = 200; }
    };
    ASSERT_NE(server.application().registerHandler(std::make_unique<Forms>()), nullptr);
    const std::string body = "a=" + std::string(29998, 'x');
    const auto Post = [&](std::uint32_t stream, const std::string& path, const std::string& type, bool ends) {
        const std::string head = std::string("\x83\x87") + Literal(":path", path) + Literal(":authority", "localhost") +
                                 Literal("content-type", type);
        return Frame(HEADERS, END_HEADERS, stream, head) + Frame(DATA, 0, stream, body.substr(0, 15000)) +
               Frame(DATA, ends ? END_STREAM : 0, stream, body.substr(15000));
    };
    struct Row {
        std::string path;
        std::string type;
        bool ends;
        std::string logged;
        std::size_t times;
    };
    const std::vector<Row> rows = {
        {"/form", "application/x-www-form-urlencoded", false, "\"POST /form\" --> 413 ", 1},
        {"/cgi-bin/echo.sh", "text/plain", true, "\"POST /cgi-bin/echo.sh\" --> 200 30000 ", 2},
    };
    for (const Row& row : rows) {
        Exchange(site.directory, port, Frame(SETTINGS, 0, 0, "") + Post(1, row.path, row.type, row.ends) +
                                           Post(3, row.path, row.type, row.ends));
        std::string all;
        EXPECT_EQ(server.count(row.logged, &all), row.times) << row.path << "\n" << all;
    }
    EXPECT_EQ(server.count("--> 413 "), 1u);
}

// A script's answer cut by its time limit resets its stream: curl never
// takes it for whole.
TEST_F(Http2, ACutAnswerIsNeverTakenForWhole) {
    const auto got = tls_test::run("curl", {"-s", "--http2", "--max-time", "20", "--cacert", site.certificate, "-o",
                                            "/dev/null", "-w", "%{http_version}", server.base + "/cgi-bin/stalls.sh"});
    EXPECT_NE(got.exitCode, 0);
    EXPECT_EQ(got.output, "2");
    const auto after = Curl({}, "/index.html");
    EXPECT_NE(after.output.find("HTTP/2 200"), std::string::npos) << after.output;
}

TEST_F(Http2, ALargeFileArrivesByteForByte) {
    std::string big;
    for (int i = 0; big.size() < 20 * 1024 * 1024; ++i) big += std::to_string(i) + ",";
    tls_test::writeFile(site.htmlroot + "big.bin", big);
    const auto got = tls_test::run("curl", {"-s", "--http2", "--cacert", site.certificate, "-o", File("got.bin"), "-w",
                                            "%{http_version}", server.base + "/big.bin"}, "", 60000);
    EXPECT_EQ(got.output, "2");
    EXPECT_TRUE(tls_test::readFile(File("got.bin")) == big);
    EXPECT_EQ(server.count("\"GET /big.bin\" --> 200 " + std::to_string(big.size())), 1u);
}

TEST_F(Http2, HundredStreamsAtOnceOnOneConnectionAreAllAnswered) {
    const auto load = tls_test::run("h2load", {"-n", "300", "-c", "1", "-m", "100", server.base + "/index.html"}, "",
                                    60000);
    ASSERT_TRUE(load.ok) << load.output;
    EXPECT_NE(load.output.find("300 succeeded, 0 failed, 0 errored"), std::string::npos) << load.output;
    EXPECT_NE(load.output.find("Application protocol: h2"), std::string::npos) << load.output;

    const auto settings = tls_test::run("nghttp", {"-nv", server.base + "/index.html"}, "", 30000);
    ASSERT_TRUE(settings.ok) << settings.output;
    EXPECT_NE(settings.output.find("SETTINGS_MAX_CONCURRENT_STREAMS(0x03):100"), std::string::npos) << settings.output;
    EXPECT_NE(settings.output.find("SETTINGS_MAX_HEADER_LIST_SIZE(0x06):65536"), std::string::npos) << settings.output;
    EXPECT_NE(settings.output.find("SETTINGS_HEADER_TABLE_SIZE(0x01):4096"), std::string::npos) << settings.output;
    EXPECT_NE(settings.output.find(":status: 200"), std::string::npos) << settings.output;
}

TEST_F(Http2, ClientsWithoutH2StillGetHttp11) {
    const auto got = tls_test::run("curl", {"-s", "--http1.1", "-o", "/dev/null", "-w", "%{http_version}", "--cacert",
                                            site.certificate, server.base + "/index.html"});
    EXPECT_EQ(got.output, "1.1");
}

// Each attack ends its connection with GOAWAY; the server answers the next
// client as before.
TEST_F(Http2, EachAttackCostsTheAttackerItsConnection) {
    std::string rapidReset;
    for (std::uint32_t stream = 1; stream < 2 * 3000; stream += 2) {
        rapidReset += Frame(HEADERS, END_HEADERS | END_STREAM, stream, Get("/index.html"));
        rapidReset += Frame(RST_STREAM, 0, stream, Bytes4(8));  // CANCEL
    }
    std::string continuations = Frame(HEADERS, END_STREAM, 1, Get("/index.html"));
    for (int i = 0; i < 100; ++i) continuations += Frame(CONTINUATION, 0, 1, Literal("x-filler", "y"));
    std::string pings;
    for (int i = 0; i < 1000; ++i) pings += Frame(PING, 0, 0, std::string(8, 'p'));
    std::string settingsFlood;
    for (int i = 0; i < 1000; ++i) settingsFlood += Frame(SETTINGS, 0, 0, "");
    std::string emptyData = Frame(HEADERS, END_HEADERS, 1, std::string("\x83\x87") + Literal(":path", "/cgi-bin/echo.sh") +
                                                                Literal(":authority", "localhost"));
    for (int i = 0; i < 1000; ++i) emptyData += Frame(DATA, 0, 1, "");
    // One large value in the dynamic table, then referred to again and again.
    std::string bomb = std::string("\x82\x87") + Literal(":path", "/") + Literal(":authority", "localhost");
    bomb += std::string("\x40\x01x\x7f\xb9\x16") + std::string(3000, 'b');  // value length 3000
    for (int i = 0; i < 400; ++i) bomb += '\xbe';
    // The window for answers is shut and never opened.
    const std::string zeroWindow = Frame(SETTINGS, 0, 0, std::string("\x00\x04", 2) + Bytes4(0)) +
                                   Frame(HEADERS, END_HEADERS | END_STREAM, 1, Get("/index.html"));

    struct Row {
        const char* attack;
        std::string frames;
        std::uint32_t code;
    };
    const std::vector<Row> rows = {
        {"rapid reset", Frame(SETTINGS, 0, 0, "") + rapidReset, kEnhanceYourCalm},
        {"CONTINUATION flood", Frame(SETTINGS, 0, 0, "") + continuations, kEnhanceYourCalm},
        {"PING flood", Frame(SETTINGS, 0, 0, "") + pings, kEnhanceYourCalm},
        {"SETTINGS flood", settingsFlood, kEnhanceYourCalm},
        {"empty DATA frames", Frame(SETTINGS, 0, 0, "") + emptyData, kEnhanceYourCalm},
        {"HPACK bomb", Frame(SETTINGS, 0, 0, "") + Frame(HEADERS, END_HEADERS | END_STREAM, 1, bomb), kEnhanceYourCalm},
        {"zero window", zeroWindow, kEnhanceYourCalm},
        {"a request that never ends", Frame(SETTINGS, 0, 0, "") + Frame(HEADERS, END_HEADERS, 1, Get("/index.html")),
         kEnhanceYourCalm},
        {"idle", Frame(SETTINGS, 0, 0, ""), kNoError},
    };
    for (const Row& row : rows) {
        const ServerFrames seen = ReadFrames(Exchange(site.directory, port, row.frames));
        EXPECT_TRUE(seen.goaway) << row.attack << ": " << seen.frames << " frames";
        EXPECT_EQ(seen.goawayCode, row.code) << row.attack;
        const auto after = Curl({}, "/index.html");
        EXPECT_NE(after.output.find("HTTP/2 200"), std::string::npos) << row.attack << "\n" << after.output;
    }
}

// An HTTP/2 connection without streams was never on its loop's idle list:
// at the connection limit it held its place, and every new client was
// closed at once. Now it rests there as a keep-alive HTTP/1.1 connection
// does, and makes room. It was then closed without a word, so that its
// client could not tell a closed connection from a lost one: it is told by
// a GOAWAY (no error) first.
TEST_F(Http2, AConnectionWithoutStreamsMakesRoomAtTheLimit) {
    KoApplicationSettings settings;
    settings.transceiver.loops = 1;
    settings.http.server.maxConnections = 1;
    settings.http.http2.idleTimeout = std::chrono::milliseconds(5000);  // else it would hold its place that long
    tls_site::LoggedServer limited;
    ASSERT_TRUE(limited.start(site, settings));
    const std::string limitedPort = limited.base.substr(limited.base.rfind(':') + 1);
    const auto Resting = [&] {
        std::size_t resting = 0;
        for (const auto& state : limited.application().transceiver().LoopStates()) resting += state.resting;
        return resting;
    };
    std::string idleAnswer;
    std::thread idle([&] {
        idleAnswer = Exchange(site.directory, limitedPort,
                              Frame(SETTINGS, 0, 0, "") + Frame(HEADERS, END_HEADERS | END_STREAM, 1, Get("/index.html")));
    });
    // It rests once right after the handshake too, before its request comes:
    // wait for the answer, after which it rests for good.
    const std::string answeredLine = "\"GET /index.html\" --> 200 ";
    for (int i = 0; i < 1000 && !(limited.count(answeredLine) == 1 && Resting() == 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Resting(), 1u);
    const auto fresh = tls_test::run("curl", {"-s", "--http2", "-o", "/dev/null", "-w", "%{http_code}", "--cacert",
                                              site.certificate, limited.base + "/index.html"}, "", 40000);
    idle.join();  // the idle connection was closed to make room
    EXPECT_EQ(fresh.output, "200");
    EXPECT_EQ(limited.count(answeredLine), 2u);
    const ServerFrames seen = ReadFrames(idleAnswer);
    EXPECT_EQ(seen.headers, 1u);
    EXPECT_TRUE(seen.goaway) << seen.frames << " frames";
    EXPECT_EQ(seen.goawayCode, kNoError);
}

// A stopping server says GOAWAY (no error) to its HTTP/2 clients before it
// closes their connections.
TEST_F(Http2, AStopSaysGoawayToOpenConnections) {
    auto stopping = std::make_unique<tls_site::LoggedServer>();
    ASSERT_TRUE(stopping->start(site));
    const std::string stoppingPort = stopping->base.substr(stopping->base.rfind(':') + 1);
    std::string answer;
    std::thread client([&] {
        answer = Exchange(site.directory, stoppingPort, Frame(SETTINGS, 0, 0, "") +
                                                            Frame(HEADERS, END_HEADERS | END_STREAM, 1, Get("/index.html")));
    });
    for (int i = 0; i < 1000 && stopping->count("\"GET /index.html\" --> 200 ") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopping.reset();
    client.join();
    const ServerFrames seen = ReadFrames(answer);
    EXPECT_EQ(seen.headers, 1u);
    EXPECT_TRUE(seen.goaway) << seen.frames << " frames";
    EXPECT_EQ(seen.goawayCode, kNoError);
}
