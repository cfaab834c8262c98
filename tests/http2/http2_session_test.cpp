#include "http2/http2_session.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// Answers every request: the path, the method and the body's length, or a
// body of the size the path asks for ("/size/N").
class Echo final : public KoHttp2ServerSession::Handler {
public:
    void request(KoHttp2ServerSession& session, KoHttp2Request&& request) override {
        ++requests;
        if (deferNext) {
            deferred = request.stream;
            return;
        }
        std::string body = request.method + " " + request.path + " " + std::to_string(request.body.size());
        if (request.path.rfind("/size/", 0) == 0) body.assign(std::stoul(request.path.substr(6)), 'x');
        session.respond(request.stream, 200, {{"content-type", "text/plain"}, {"connection", "close"}},
                        std::make_unique<KoHttp2TextBody>(body));
    }
    int requests = 0;
    bool deferNext = false;
    std::int32_t deferred = 0;
};

struct Response {
    int status = 0;
    std::map<std::string, std::string> fields;
    std::string body;
    bool closed = false;
    std::uint32_t error = 0;
};

// A real nghttp2 client, its bytes carried to and from the server in memory.
class Client {
public:
    Client() {
        nghttp2_session_callbacks* callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_on_header_callback(
            callbacks, [](nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
                          const uint8_t* value, size_t valuelen, uint8_t, void* user) {
                auto& self = *static_cast<Client*>(user);
                const std::string n(reinterpret_cast<const char*>(name), namelen);
                const std::string v(reinterpret_cast<const char*>(value), valuelen);
                Response& response = self.responses[frame->hd.stream_id];
                if (n == ":status") {
                    response.status = std::stoi(v);
                } else {
                    response.fields[n] = v;
                }
                return 0;
            });
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
            callbacks, [](nghttp2_session*, uint8_t, int32_t stream, const uint8_t* data, size_t len, void* user) {
                static_cast<Client*>(user)->responses[stream].body.append(reinterpret_cast<const char*>(data), len);
                return 0;
            });
        nghttp2_session_callbacks_set_on_stream_close_callback(
            callbacks, [](nghttp2_session*, int32_t stream, uint32_t error, void* user) {
                Response& response = static_cast<Client*>(user)->responses[stream];
                response.closed = true;
                response.error = error;
                return 0;
            });
        nghttp2_session_callbacks_set_on_frame_recv_callback(
            callbacks, [](nghttp2_session*, const nghttp2_frame* frame, void* user) {
                if (frame->hd.type == NGHTTP2_GOAWAY) static_cast<Client*>(user)->goaway = true;
                return 0;
            });
        nghttp2_session_client_new(&session, callbacks, this);
        nghttp2_session_callbacks_del(callbacks);
        nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    }
    ~Client() { nghttp2_session_del(session); }

    std::int32_t get(const std::string& path, const std::string& method = "GET", const std::string* body = nullptr,
                     const std::vector<std::pair<std::string, std::string>>& fields = {}) {
        const std::string scheme = "https", authority = "localhost", m = method;
        std::vector<nghttp2_nv> nva = {Nv(":method", m), Nv(":scheme", scheme), Nv(":authority", authority),
                                       Nv(":path", path)};
        for (const auto& [name, value] : fields) nva.push_back(Nv(name.c_str(), value));
        nghttp2_data_provider provider{};
        if (body != nullptr) {
            provider.source.ptr = const_cast<std::string*>(body);
            provider.read_callback = [](nghttp2_session*, int32_t, uint8_t* buf, size_t length, uint32_t* flags,
                                        nghttp2_data_source* source, void*) -> ssize_t {
                auto* text = static_cast<std::string*>(source->ptr);
                const std::size_t take = std::min(length, text->size());
                std::memcpy(buf, text->data(), take);
                text->erase(0, take);
                if (text->empty()) *flags |= NGHTTP2_DATA_FLAG_EOF;
                return static_cast<ssize_t>(take);
            };
        }
        return nghttp2_submit_request(session, nullptr, nva.data(), nva.size(), body != nullptr ? &provider : nullptr,
                                      nullptr);
    }

    // Carries bytes both ways until neither side has more (bounded).
    void exchange(KoHttp2ServerSession& server) {
        for (int round = 0; round < 10000; ++round) {
            std::string toServer;
            const uint8_t* data = nullptr;
            for (ssize_t n; (n = nghttp2_session_mem_send(session, &data)) > 0;) toServer.append(reinterpret_cast<const char*>(data), n);
            if (!toServer.empty()) serverOpen = server.receive(toServer) && serverOpen;
            std::string toClient;
            server.produce(toClient, 1 << 20);
            if (!toClient.empty()) nghttp2_session_mem_recv(session, reinterpret_cast<const uint8_t*>(toClient.data()), toClient.size());
            if (toServer.empty() && toClient.empty()) return;
        }
        ADD_FAILURE() << "the exchange did not settle";
    }

    static nghttp2_nv Nv(const char* name, const std::string& value) {
        return {reinterpret_cast<uint8_t*>(const_cast<char*>(name)), reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())),
                std::strlen(name), value.size(), NGHTTP2_NV_FLAG_NONE};
    }

    nghttp2_session* session = nullptr;
    std::map<std::int32_t, Response> responses;
    bool goaway = false;
    bool serverOpen = true;
};

// Raw frames, for what a well-behaved client library will not send.
std::string RawFrame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const std::string& payload) {
    std::string frame;
    const auto length = static_cast<std::uint32_t>(payload.size());
    frame += static_cast<char>(length >> 16);
    frame += static_cast<char>((length >> 8) & 0xFF);
    frame += static_cast<char>(length & 0xFF);
    frame += static_cast<char>(type);
    frame += static_cast<char>(flags);
    for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>((stream >> shift) & 0xFF);
    return frame + payload;
}

std::string Preface() { return std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") + RawFrame(0x4, 0, 0, ""); }

// GET https://localhost/ in HPACK from the static table.
const std::string getRoot = "\x82\x87\x84\x41\x09localhost";

bool SaysGoaway(const std::string& frames) {
    for (std::size_t at = 0; at + 9 <= frames.size();) {
        const std::size_t length = (static_cast<std::uint8_t>(frames[at]) << 16) |
                                   (static_cast<std::uint8_t>(frames[at + 1]) << 8) | static_cast<std::uint8_t>(frames[at + 2]);
        if (frames[at + 3] == 0x7) return true;
        at += 9 + length;
    }
    return false;
}

// Sends raw bytes; the server's frames come back.
std::string Attack(KoHttp2ServerSession& server, const std::string& bytes, bool& open) {
    open = server.receive(bytes);
    std::string out;
    server.produce(out, 1 << 20);
    return out;
}

}  // namespace

TEST(KoHttp2ServerSession, AnswersRequestsWithBodiesOverARealClient) {
    Echo echo;
    KoHttp2ServerSession server(echo);
    Client client;
    const std::string upload(100000, 'u');  // beyond the first window: flow control must work
    const auto get = client.get("/index.html");
    const auto post = client.get("/form", "POST", &upload);
    const auto large = client.get("/size/1048576");
    client.exchange(server);
    EXPECT_EQ(client.responses[get].status, 200);
    EXPECT_EQ(client.responses[get].body, "GET /index.html 0");
    EXPECT_EQ(client.responses[get].fields["content-type"], "text/plain");
    EXPECT_EQ(client.responses[get].fields.count("connection"), 0u);  // no connection-specific field in HTTP/2
    EXPECT_EQ(client.responses[post].body, "POST /form 100000");
    EXPECT_EQ(client.responses[large].body.size(), 1048576u);
    EXPECT_TRUE(client.responses[large].closed);
    EXPECT_EQ(server.openStreams(), 0u);
    EXPECT_TRUE(client.serverOpen);
}

TEST(KoHttp2ServerSession, ServesManyStreamsOnOneConnectionWithinTheBound) {
    Echo echo;
    KoHttp2ServerSession server(echo);
    Client client;
    std::vector<std::int32_t> streams;
    for (int i = 0; i < 250; ++i) streams.push_back(client.get("/n/" + std::to_string(i)));
    client.exchange(server);
    for (int i = 0; i < 250; ++i) EXPECT_EQ(client.responses[streams[i]].body, "GET /n/" + std::to_string(i) + " 0");
    EXPECT_EQ(echo.requests, 250);
    EXPECT_EQ(nghttp2_session_get_remote_settings(client.session, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS), 100u);
}

TEST(KoHttp2ServerSession, ADeferredAnswerGoesOutWhenResumed) {
    Echo echo;
    echo.deferNext = true;
    KoHttp2ServerSession server(echo);
    Client client;
    const auto stream = client.get("/later");
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].status, 0);
    ASSERT_EQ(echo.deferred, stream);
    EXPECT_TRUE(server.respond(stream, 204, {}, nullptr));
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].status, 204);
    EXPECT_TRUE(client.responses[stream].closed);
    EXPECT_FALSE(server.respond(stream, 200, {}, nullptr));  // gone
}

// The session frames an answer's fields where its stream keeps them: a
// second answer for the stream was taken too, and would have replaced the
// bytes the first one's HEADERS frame points into.
TEST(KoHttp2ServerSession, AStreamIsAnsweredOnceWithTheFieldsItWasGiven) {
    Echo echo;
    echo.deferNext = true;
    KoHttp2ServerSession server(echo);
    Client client;
    const auto stream = client.get("/later");
    client.exchange(server);
    ASSERT_EQ(echo.deferred, stream);
    {
        const KoHttp2Fields fields{{"X-First", "one"}, {"x-long", std::string(200, 'k')}};
        EXPECT_TRUE(server.respond(stream, 200, fields, std::make_unique<KoHttp2TextBody>("first")));
    }
    EXPECT_FALSE(server.respond(stream, 500, {{"x-first", "two"}}, nullptr));
    client.exchange(server);
    const Response& got = client.responses[stream];
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.fields.count("x-first") == 1 ? got.fields.at("x-first") : "", "one");  // a capital is lowered
    EXPECT_EQ(got.fields.count("x-long") == 1 ? got.fields.at("x-long") : "", std::string(200, 'k'));
    EXPECT_EQ(got.body, "first");
}

TEST(KoHttp2ServerSession, ABodyAboveTheBoundIsAnswered413) {
    Echo echo;
    KoHttp2Limits limits;
    limits.maxBody = 1000;
    KoHttp2ServerSession server(echo, limits);
    Client client;
    const std::string upload(5000, 'u');
    const auto stream = client.get("/form", "POST", &upload);
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].status, 413);
    EXPECT_EQ(echo.requests, 0);
}

TEST(KoHttp2ServerSession, EachFloodCostsTheAttackerItsConnection) {
    struct Attack_ {
        const char* name;
        std::string bytes;
        const char* why;  // in the session's failure
    };
    std::vector<Attack_> attacks;
    {
        // Rapid reset: open a stream and reset it, over and over.
        std::string bytes = Preface();
        for (std::uint32_t id = 1; id < 2 * 3000; id += 2) {
            bytes += RawFrame(0x1, 0x5, id, getRoot);                 // HEADERS, END_STREAM | END_HEADERS
            bytes += RawFrame(0x3, 0, id, std::string("\0\0\0\x8", 4));  // RST_STREAM CANCEL
        }
        attacks.push_back({"rapid reset", bytes, "resets"});
    }
    {
        // CONTINUATION flood: a header block that never ends.
        std::string bytes = Preface() + RawFrame(0x1, 0x1, 1, getRoot.substr(0, 2));
        for (int i = 0; i < 100; ++i) bytes += RawFrame(0x9, 0, 1, "\x87");
        attacks.push_back({"CONTINUATION flood", bytes, "CONTINUATION"});
    }
    {
        std::string bytes = Preface();
        for (int i = 0; i < 1000; ++i) bytes += RawFrame(0x4, 0, 0, "");
        attacks.push_back({"SETTINGS flood", bytes, "SETTINGS and PING"});
    }
    {
        std::string bytes = Preface();
        for (int i = 0; i < 1000; ++i) bytes += RawFrame(0x6, 0, 0, std::string(8, static_cast<char>(i)));
        attacks.push_back({"PING flood", bytes, "SETTINGS and PING"});
    }
    {
        // Empty DATA frames on an open stream.
        std::string bytes = Preface() + RawFrame(0x1, 0x4, 1, "\x83\x87\x84\x41\x09localhost");  // POST, no end
        for (int i = 0; i < 1000; ++i) bytes += RawFrame(0x0, 0, 1, "");
        attacks.push_back({"empty frames", bytes, "empty frames"});
    }
    {
        // HPACK bomb: one large value in the dynamic table, then a block that
        // names it over and over - a few hundred bytes decode to megabytes.
        std::string block = "\x82\x87\x84\x41\x09localhost";
        block += "\x40\x01x";  // a literal with indexing, new name "x"
        block += "\x7f";        // its value's length, 4000: 127 in the prefix, then 3873 in 7-bit groups
        block += static_cast<char>(0x80 | (3873 & 0x7F));
        block += static_cast<char>(3873 >> 7);
        block += std::string(4000, 'v');
        for (int i = 0; i < 3000; ++i) block += "\xbe";  // the newest dynamic entry (index 62)
        attacks.push_back({"HPACK bomb", Preface() + RawFrame(0x1, 0x5, 1, block), "header list"});
    }
    for (const Attack_& attack : attacks) {
        Echo echo;
        KoHttp2ServerSession server(echo);
        bool open = true;
        const std::string answer = Attack(server, attack.bytes, open);
        EXPECT_FALSE(open) << attack.name;
        EXPECT_TRUE(SaysGoaway(answer)) << attack.name;
        EXPECT_LT(echo.requests, 3000) << attack.name;
        EXPECT_NE(server.failure().find(attack.why), std::string::npos) << attack.name << ": " << server.failure();
    }
}

TEST(KoHttp2ServerSession, ShutdownSaysGoawayAndLetsOpenStreamsFinish) {
    Echo echo;
    echo.deferNext = true;
    KoHttp2ServerSession server(echo);
    Client client;
    const auto stream = client.get("/slow");
    client.exchange(server);
    server.shutdown();
    client.exchange(server);
    EXPECT_TRUE(client.goaway);
    server.respond(stream, 200, {}, std::make_unique<KoHttp2TextBody>("done"));
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].body, "done");
}

// Each stream held up to maxBody of request body until its end, with no
// bound on all of them: a client with 100 streams made it hold 100 times as
// much. The bodies held at once are bounded too; the stream past it is
// answered 413, the others are served.
TEST(KoHttp2ServerSession, RequestBodiesHeldAtOnceAreBoundedAcrossStreams) {
    Echo echo;
    KoHttp2Limits limits;
    limits.maxBody = 1000;
    limits.maxBodies = 2500;
    KoHttp2ServerSession server(echo, limits);
    const std::string post = "\x83\x87\x84\x41\x09localhost";
    std::string bytes = Preface();
    for (std::uint32_t id : {1u, 3u, 5u}) bytes += RawFrame(0x1, 0x4, id, post);            // HEADERS, no end
    for (std::uint32_t id : {1u, 3u, 5u}) bytes += RawFrame(0x0, 0, id, std::string(900, 'b'));
    for (std::uint32_t id : {1u, 3u, 5u}) bytes += RawFrame(0x0, 0x1, id, "");               // END_STREAM
    bool open = false;
    const std::string answer = Attack(server, bytes, open);
    EXPECT_TRUE(open);
    EXPECT_EQ(echo.requests, 2);
    EXPECT_NE(answer.find("request body too large"), std::string::npos);
}

TEST(KoHttp2ServerSession, AWindowThatStaysShutIsSeenAsStalled) {
    Echo echo;
    KoHttp2ServerSession server(echo);
    Client client;
    const nghttp2_settings_entry shut[] = {{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 0}};
    nghttp2_submit_settings(client.session, NGHTTP2_FLAG_NONE, shut, 1);
    const auto stream = client.get("/size/100");
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].status, 200);
    EXPECT_TRUE(client.responses[stream].body.empty());
    EXPECT_TRUE(server.stalledByPeer());
    nghttp2_submit_window_update(client.session, NGHTTP2_FLAG_NONE, stream, 1000);
    client.exchange(server);
    EXPECT_EQ(client.responses[stream].body.size(), 100u);
    EXPECT_FALSE(server.stalledByPeer());
}

// A body that fails on the way resets its stream (it must not look whole);
// terminate() ends the connection with GOAWAY.
TEST(KoHttp2ServerSession, AFailedBodyResetsItsStreamAndTerminateSaysGoaway) {
    struct Failing final : KoHttp2Body {
        Read read(char* into, std::size_t capacity) override {
            if (given) return {0, false, false, true};
            given = true;
            std::memset(into, 'f', std::min<std::size_t>(capacity, 10));
            return {std::min<std::size_t>(capacity, 10), false, false, false};
        }
        bool given = false;
    };
    struct Handler final : KoHttp2ServerSession::Handler {
        void request(KoHttp2ServerSession& session, KoHttp2Request&& request) override {
            session.respond(request.stream, 200, {}, std::make_unique<Failing>());
        }
    } handler;
    KoHttp2ServerSession server(handler);
    Client client;
    const auto stream = client.get("/cut");
    client.exchange(server);
    EXPECT_TRUE(client.responses[stream].closed);
    EXPECT_EQ(client.responses[stream].error, static_cast<std::uint32_t>(NGHTTP2_INTERNAL_ERROR));
    EXPECT_EQ(client.responses[stream].body, std::string(10, 'f'));
    EXPECT_TRUE(client.serverOpen);

    server.terminate("a peer that takes no answer");
    client.exchange(server);
    EXPECT_TRUE(client.goaway);
    EXPECT_FALSE(server.receive(""));
    EXPECT_EQ(server.failure(), "a peer that takes no answer");
}

// Answers with the request's own "x-tag" field and a body made of its tag
// and its request body, so that bytes of another stream would show.
class TagEcho final : public KoHttp2ServerSession::Handler {
public:
    void request(KoHttp2ServerSession& session, KoHttp2Request&& request) override {
        std::string tag;
        for (const auto& [name, value] : request.fields) {
            if (name == "x-tag") tag += value;
        }
        std::string body;
        while (body.size() < request.body.size() * 3) body += tag + ":" + request.body;
        KoHttp2Fields fields;
        fields.add("x-tag", tag);
        session.respond(request.stream, 200, fields, std::make_unique<KoHttp2TextBody>(body));
    }
};

TEST(KoHttp2ServerSession, InterleavedStreamsEachGetOnlyTheirOwnFieldsAndBody) {
    // What went wrong: a handler that kept its request (did not move it)
    // left the body counted as held at the stream's end too; the count
    // wrapped and every later body on the connection was answered 413.
    TagEcho echo;
    KoHttp2ServerSession server(echo);
    Client client;
    // Rounds on one connection, so that later streams reuse what earlier
    // ones freed; bodies past a frame, so that their DATA interleave.
    const std::size_t sizes[][2] = {{5, 40000}, {40000, 5}, {30000, 30000}, {1, 1}, {70000, 20000}};
    for (std::size_t round = 0; round < std::size(sizes); ++round) {
        SCOPED_TRACE(round);
        const std::string tags[2] = {"a" + std::to_string(round), "b" + std::to_string(round) + "-longer-tag"};
        std::string bodies[2] = {std::string(sizes[round][0], 'p'), std::string(sizes[round][1], 'q')};
        const std::string sent[2] = {bodies[0], bodies[1]};
        std::int32_t streams[2];
        for (int i = 0; i < 2; ++i) streams[i] = client.get("/t", "POST", &bodies[i], {{"x-tag", tags[i]}});
        client.exchange(server);
        for (int i = 0; i < 2; ++i) {
            const Response& response = client.responses[streams[i]];
            EXPECT_EQ(response.status, 200);
            EXPECT_EQ(response.fields.at("x-tag"), tags[i]);
            std::string expected;
            while (expected.size() < sent[i].size() * 3) expected += tags[i] + ":" + sent[i];
            EXPECT_EQ(response.body, expected);
        }
        EXPECT_EQ(server.openStreams(), 0u);
    }
}

TEST(KoHttp2Fields, KeepsEveryFieldInOrderPastThoseHeldInPlaceAndAfterClear) {
    KoHttp2Fields fields;
    for (const std::size_t count : {3u, 16u, 17u, 40u, 0u, 5u}) {
        SCOPED_TRACE(count);
        fields.clear();
        std::vector<std::pair<std::string, std::string>> expected;
        for (std::size_t i = 0; i < count; ++i) {
            expected.emplace_back("name-" + std::to_string(i), std::string(i, 'v'));
            fields.add(expected.back().first, expected.back().second);
        }
        // One built in place and dropped leaves nothing behind.
        fields.startField();
        fields.buffer().append("dropped");
        fields.dropField();
        EXPECT_EQ(fields.size(), count);
        EXPECT_EQ(fields.empty(), count == 0);
        EXPECT_EQ(fields.pairs(), expected);
    }
}

// An idle session gives its frame buffer's pages back (rest); the next
// frames must still be whole and the HPACK state kept, whether the session
// rested between exchanges or was told to while frames still waited.
TEST(KoHttp2ServerSession, ARestedSessionGoesOnWhole) {
    struct Case {
        const char* path;
        bool restWhileFramesWait;
        std::size_t bodySize;  // of the answer; 0: the echo line
    };
    const Case cases[] = {
        {"/first", false, 0},
        {"/size/40000", false, 40000},  // more than one frame buffer's worth
        {"/first", true, 0},           // :path and :authority now come indexed
        {"/size/20000", true, 20000},
        {"/last", false, 0},
    };
    Echo echo;
    KoHttp2ServerSession server(echo);
    EXPECT_GE(server.pagedBytes(), 16u * 1024);  // the frame buffer has pages of its own
    Client client;
    client.exchange(server);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        server.rest();
        const auto stream = client.get(c.path);
        if (c.restWhileFramesWait) {
            std::string toServer;
            const uint8_t* data = nullptr;
            for (ssize_t n; (n = nghttp2_session_mem_send(client.session, &data)) > 0;) toServer.append(reinterpret_cast<const char*>(data), n);
            ASSERT_TRUE(server.receive(toServer));
            ASSERT_TRUE(server.wantsWrite());
            server.rest();  // an answer waits: nothing may go
        }
        client.exchange(server);
        const Response& response = client.responses[stream];
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, c.bodySize == 0 ? "GET " + std::string(c.path) + " 0" : std::string(c.bodySize, 'x'));
        EXPECT_TRUE(response.closed);
        EXPECT_EQ(response.error, 0u);
    }
    EXPECT_TRUE(client.serverOpen);
    EXPECT_FALSE(client.goaway);
}

// Our answers' fields are indexed for the answers after them: left out of
// the HPACK table, every answer's fields were coded again in full. The
// peer's decoder shows what the session's encoder holds; the peer's own
// table for its requests is kept as well.
TEST(KoHttp2ServerSession, AnswersFieldsAreIndexedForTheAnswersAfterThem) {
    Echo echo;
    KoHttp2ServerSession server(echo);
    Client client;
    std::vector<std::int32_t> streams;
    for (const char* path : {"/one", "/two", "/one"}) streams.push_back(client.get(path, "GET", nullptr, {{"x-tag", path}}));
    client.exchange(server);
    for (const std::int32_t stream : streams) {
        EXPECT_EQ(client.responses[stream].status, 200);
        EXPECT_EQ(client.responses[stream].fields["content-type"], "text/plain");
    }
    EXPECT_GT(nghttp2_session_get_hd_inflate_dynamic_table_size(client.session), 0u);
    EXPECT_GT(nghttp2_session_get_hd_deflate_dynamic_table_size(client.session), 0u);
}

namespace {

// A body that gives its bytes only by read(), as a file read from its
// descriptor does.
class ReadOnlyBody final : public KoHttp2Body {
public:
    explicit ReadOnlyBody(std::string text) : text_(std::move(text)) {}
    Read read(char* into, std::size_t capacity) override {
        const std::size_t take = std::min(capacity, text_.size() - at_);
        std::memcpy(into, text_.data() + at_, take);
        at_ += take;
        return {take, at_ == text_.size(), false};
    }

private:
    std::string text_;
    std::size_t at_ = 0;
};

}  // namespace

TEST(KoHttp2ServerSession, ABodyInPlaceOrReadStopsAtTheOutputBoundAndComesWhole) {
    // Bytes that lie in memory go into the frames straight from there
    // (nghttp2 then goes on frame after frame in one call): produce() must
    // stop at its bound all the same, a frame past it at most.
    struct Case {
        const char* what;
        bool inPlace;
        std::size_t limit;
    };
    const std::vector<Case> cases = {
        {"in place, a small bound", true, 1000},
        {"in place, a bound of frames", true, 40000},
        {"read, a small bound", false, 1000},
        {"read, a bound of frames", false, 40000},
    };
    std::string body;
    for (int i = 0; body.size() < 200000; ++i) body += std::to_string(i) + ",";
    constexpr std::size_t largestFrame = 9 + 16384;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        struct Answer final : KoHttp2ServerSession::Handler {
            void request(KoHttp2ServerSession& session, KoHttp2Request&& request) override {
                std::unique_ptr<KoHttp2Body> answer;
                if (inPlace) {
                    answer = std::make_unique<KoHttp2TextBody>(*text);
                } else {
                    answer = std::make_unique<ReadOnlyBody>(*text);
                }
                session.respond(request.stream, 200, {}, std::move(answer));
            }
            bool inPlace = false;
            const std::string* text = nullptr;
        } handler;
        handler.inPlace = c.inPlace;
        handler.text = &body;
        KoHttp2ServerSession server(handler);
        Client client;
        const auto stream = client.get("/");
        std::size_t largest = 0;
        for (int round = 0; round < 10000; ++round) {
            std::string toServer;
            const uint8_t* data = nullptr;
            for (ssize_t n; (n = nghttp2_session_mem_send(client.session, &data)) > 0;) {
                toServer.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
            }
            if (!toServer.empty()) server.receive(toServer);
            std::string toClient;
            server.produce(toClient, c.limit);
            largest = std::max(largest, toClient.size());
            if (!toClient.empty()) {
                nghttp2_session_mem_recv(client.session, reinterpret_cast<const uint8_t*>(toClient.data()), toClient.size());
            }
            if (toServer.empty() && toClient.empty()) break;
        }
        EXPECT_LT(largest, c.limit + largestFrame);
        EXPECT_TRUE(client.responses[stream].closed);
        EXPECT_EQ(client.responses[stream].body, body);
    }
}
