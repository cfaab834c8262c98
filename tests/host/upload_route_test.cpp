// Upload routes end to end: velko::Server::onUpload on the loopback
// address, its handler reading bodies as curl (HTTP, HTTPS, HTTP/2) or a
// raw client sends them.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_shell.h"
#include "message/request_body_pipe.h"
#include "raw_http_client.h"

namespace {

using namespace std::chrono_literals;
using host_shell::Directory;
using host_shell::Quoted;

// FNV-1a, computed by the handler and by the test.
std::uint64_t Hash(std::uint64_t hash, const std::string& bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}
constexpr std::uint64_t kHashStart = 14695981039346656037ull;

std::string Body(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    return body;
}

// What the handler saw: its answer text, written as "<read>/<length> <hash> complete|cut".
std::string Summary(unsigned long long read, long long length, std::uint64_t hash, bool complete) {
    char text[96];
    std::snprintf(text, sizeof text, "%llu/%lld %016llx %s", read, length, static_cast<unsigned long long>(hash),
                  complete ? "complete" : "cut");
    return text;
}

class UploadRoute : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    void Start(bool https) {
        options.https = https;
        server = std::make_unique<velko::Server>(options);
        base = (https ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(server->port());
        server->on("GET", "/after", [](const velko::Request&) { return velko::Answer::text("after"); });
        server->onUpload("PUT", "/upload", [this](const velko::Request& request, velko::BodyReader& body) {
            // ?refuse=401: answered before a byte of the body is read.
            if (!request.formValue("refuse").empty()) return velko::Answer::text("no\n", std::stoi(request.formValue("refuse")));
            std::uint64_t hash = kHashStart;
            std::string piece;
            while (body.read(piece)) {
                if (body.bytesRead() == piece.size()) Note("first piece");
                hash = Hash(hash, piece);
            }
            const std::string seen = Summary(body.bytesRead(), body.length(), hash, body.complete());
            Note(seen);
            return velko::Answer::text(seen);
        });
    }

    void Note(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        notes.push_back(what);
        changed.notify_all();
    }
    // Waits (bounded) until the handler noted something that holds both.
    bool Noted(const std::string& one, const std::string& other = "") {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 30s, [&] {
            for (const std::string& note : notes) {
                if (note.find(one) != std::string::npos && note.find(other) != std::string::npos) return true;
            }
            return false;
        });
    }
    std::string Notes() {
        std::lock_guard<std::mutex> guard(lock);
        std::string all;
        for (const std::string& note : notes) all += note + "\n";
        return all;
    }

    std::string Curl(const std::string& arguments, const std::string& target) {
        return Directory::Capture("curl -sS --max-time 60 --cacert " + Quoted(dir.file("cacert.pem")) + " " + arguments +
                                  " " + Quoted(base + target), 90)
            .output;
    }
    std::string File(const std::string& name, const std::string& bytes) {
        host_shell::WriteFile(dir.file(name), bytes);
        return dir.file(name);
    }
    static std::string Put(const std::string& target, const std::string& body, const std::string& more = "") {
        return "PUT " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "Content-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string base;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> notes;
};

TEST_F(UploadRoute, LargeBodiesArriveByteExactWhileLittleIsHeld) {
    struct Row {
        const char* name;
        bool https;
        std::string curl;
        std::size_t size;
        bool unannounced;  // no Content-Length
    };
    const std::vector<Row> rows = {
        {"http", false, "--http1.1", 64u << 20, false},
        {"https", true, "--http1.1", 64u << 20, false},
        {"https chunked", true, "--http1.1 -H 'Transfer-Encoding: chunked'", 64u << 20, true},
        {"http2", true, "--http2", 64u << 20, false},
        {"http2 without a length", true, "--http2 -H 'Transfer-Encoding: chunked'", 8u << 20, true},
    };
    for (const Row& row : rows) {
        const std::string body = Body(row.size);
        const std::string file = File("upload.bin", body);
        Start(row.https);
        KoRequestBodyPipe::resetLargestHeld();
        const long long length = row.unannounced ? -1 : static_cast<long long>(body.size());
        EXPECT_EQ(Curl(row.curl + " -T " + Quoted(file), "/upload"), Summary(body.size(), length, Hash(kHashStart, body), true))
            << row.name;
        EXPECT_LE(KoRequestBodyPipe::largestHeld(), KoRequestBodyPipe::defaultBound + 64 * 1024) << row.name;
        server.reset();
    }
}

TEST_F(UploadRoute, TheHandlerReadsTheFirstPieceBeforeTheRestIsSent) {
    Start(false);
    const std::string body = Body(2'000'000);
    RawHttpClient client(server->port());
    ASSERT_TRUE(client.connected());
    const std::string request = Put("/upload", body);
    const std::size_t half = request.size() - body.size() / 2;
    ASSERT_TRUE(client.send(request.substr(0, half)));
    EXPECT_TRUE(Noted("first piece"));
    ASSERT_TRUE(client.send(request.substr(half)));
    const std::string answer = client.takeAnswer(30s);
    EXPECT_NE(answer.find(Summary(body.size(), body.size(), Hash(kHashStart, body), true)), std::string::npos) << answer;
}

TEST_F(UploadRoute, EarlyAnswersCutBodiesAndRequestsBehindThem) {
    options.maxBody = 4u << 20;
    Start(false);
    const std::string streamed = Body(300 * 1024);  // more than the pipe holds
    const std::string summary = Summary(streamed.size(), streamed.size(), Hash(kHashStart, streamed), true);
    const std::string after = "GET /after HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    // What one connection is sent at once, and the answers it gets in order.
    struct Exchange {
        std::string sent;
        std::vector<std::string> answers;
    };
    const std::vector<Exchange> exchanges = {
        {Put("/upload", streamed) + after, {"200 OK", summary, "after"}},
        // A short rest is read past: the request behind it is answered.
        {Put("/upload?refuse=401", Body(200 * 1024)) + after, {"401 Unauthorized", "after"}},
        {Put("/upload", streamed, "Expect: 100-continue\r\n") + after, {"100 Continue", summary, "after"}},
    };
    for (const Exchange& exchange : exchanges) {
        RawHttpClient client(server->port());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(exchange.sent));
        std::string answers;
        for (std::size_t i = 0; i < exchange.answers.size() && answers.find(exchange.answers.back()) == std::string::npos; ++i) {
            answers += client.takeAnswer(30s);
        }
        std::size_t at = 0;
        for (const std::string& piece : exchange.answers) {
            at = answers.find(piece, at);
            EXPECT_NE(at, std::string::npos) << piece << " in order in:\n" << answers.substr(0, 600);
            if (at == std::string::npos) break;
        }
    }

    // curl: a long rest after an early answer, chunks past maxBody, a method the route does not take.
    const std::string large = File("large.bin", Body(3u << 20));
    const std::string tooLarge = File("too-large.bin", Body(6u << 20));
    const std::string status = " -o /dev/null -w '%{http_code}' --http1.1 ";
    EXPECT_EQ(Curl(status + "-T " + Quoted(large), "/upload?refuse=413"), "413");
    EXPECT_EQ(Curl(status + "-H 'Transfer-Encoding: chunked' -T " + Quoted(tooLarge), "/upload"), "413");
    EXPECT_TRUE(Noted("/-1 ", " cut")) << Notes();  // the handler saw the body cut
    EXPECT_NE(Curl("-si --http1.1", "/upload").find("Allow: PUT, OPTIONS"), std::string::npos);
    // The same over HTTP/2, where the stream is answered and the connection goes on.
    server.reset();
    Start(true);
    const std::string h2 = " -o /dev/null -w '%{http_code}' --http2 ";
    EXPECT_EQ(Curl(h2 + "-T " + Quoted(large), "/upload?refuse=413"), "413");
    EXPECT_EQ(Curl(h2 + "-H 'Transfer-Encoding: chunked' -T " + Quoted(tooLarge), "/upload"), "413");
    // Two uploads one after the other on one connection: its window was given back.
    EXPECT_EQ(Curl(h2 + "-T " + Quoted(large) + " " + Quoted(base + "/upload") + " -o /dev/null -T " + Quoted(large), "/upload"),
              "200200");

    // The client goes away in the middle of the body, or stalls past the body time-out.
    server.reset();
    options.bodyTimeout = 300ms;
    Start(false);
    {
        RawHttpClient client(server->port());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(Put("/upload", Body(1u << 20)).substr(0, 200 * 1024)));
        client.shutdown();
    }
    EXPECT_TRUE(Noted("/1048576 ", " cut")) << Notes();
    RawHttpClient stalled(server->port());
    ASSERT_TRUE(stalled.connected());
    ASSERT_TRUE(stalled.send(Put("/upload", Body(2u << 20)).substr(0, 100 * 1024)));
    // The handler's answer is the connection's last.
    EXPECT_TRUE(stalled.readUntilClosed(30s));
    EXPECT_NE(stalled.received().find("/2097152 "), std::string::npos) << stalled.received();
    EXPECT_NE(stalled.received().find(" cut"), std::string::npos) << stalled.received();
    EXPECT_NE(stalled.received().find("Connection: close"), std::string::npos) << stalled.received();
}

}  // namespace
