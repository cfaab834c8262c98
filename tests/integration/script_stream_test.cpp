// End to end over loopback: CGI programs and PHP pages whose output is
// large or slow reach the client as they write it, chunked (or delimited by
// the end of the connection for HTTP/1.0), while the server holds only a
// bounded part of it and holds the script up when the client is slow.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "message/body_stream.h"
#include "process_probe.h"
#include "site_fixture.h"

namespace {

using namespace site_fixture;
using process_probe::PeakResidentKiB;
using process_probe::ResetPeakResident;

constexpr std::size_t kFiftyMegabytes = 50u * 1024 * 1024;
// A body held by the server: the bound (64 KiB) and one read.
constexpr std::size_t kHeldAtMost = 2 * 64 * 1024;
const std::string kLine = "velko-stream-0123456789\n";

// What `yes "velko-stream-0123456789" | head -c size` writes.
std::string Pattern(std::size_t size) {
    std::string out;
    out.reserve(size + kLine.size());
    while (out.size() < size) out += kLine;
    out.resize(size);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

int ReadCounter(const std::string& path) {
    std::ifstream in(path);
    int value = -1;
    in >> value;
    return value;
}

// Reads the counter until it stays the same for 400 ms (bounded).
int SettledCounter(const std::string& path) {
    int last = ReadCounter(path);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(milliseconds(400));
        const int now = ReadCounter(path);
        if (now == last && now >= 0) return now;
        last = now;
    }
    return last;
}

// The body of a chunked answer that starts at from; nullopt while incomplete.
std::optional<std::string> Dechunk(const std::string& in, std::size_t from, std::size_t* end = nullptr) {
    std::string body;
    std::size_t at = from;
    for (;;) {
        const std::size_t line = in.find("\r\n", at);
        if (line == std::string::npos) return std::nullopt;
        const std::size_t size = std::stoul(in.substr(at, line - at), nullptr, 16);
        if (in.size() < line + 2 + size + 2) return std::nullopt;
        if (size == 0) {
            if (end != nullptr) *end = line + 4;
            return body;
        }
        body.append(in, line + 2, size);
        at = line + 2 + size + 2;
    }
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class ScriptStreaming : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        counter = top + "counter";
        // As much of the pattern as the query asks for.
        WriteFile(root + "cgi-bin/big.sh",
                  "#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                  "yes velko-stream-0123456789 | head -c \"$QUERY_STRING\"\n",
                  true);
        // 400 blocks of 64 KiB, counting each one written.
        WriteFile(root + "cgi-bin/counted.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\ni=0\n"
                  "while [ $i -lt 400 ]; do head -c 65536 /dev/zero; i=$((i+1)); echo $i > '" + counter + "'; done\n",
                  true);
        WriteFile(root + "cgi-bin/stalls.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nhead -c 100000 /dev/zero\nsleep 5\n", true);
        WriteFile(root + "cgi-bin/small.sh", PrintingScript("Content-Type: text/plain\r\n\r\nsmall"), true);
    }

    // curl's exit code and the head it saw; the body is in bodyFile.
    int Fetch(const std::string& url, std::vector<std::string> options, std::string& head) {
        const std::string headFile = top + "head.txt";
        options.insert(options.end(), {"-D", headFile, "-o", bodyFile(), url});
        const int code = Curl(options).exitCode;
        head = ReadFile(headFile);
        return code;
    }
    std::string bodyFile() const { return top + "body.bin"; }

    std::string counter;
};

// CGI output was held whole in memory before the first byte went out: a
// script writing 50 MB cost about 170 MB, and 64 MB or more was answered
// 502.
TEST_F(ScriptStreaming, FiftyMegabytesGoOutWhileLittleIsHeld) {
    Start();
    KoBodyStream::resetLargestHeld();
    ResetPeakResident();
    [[maybe_unused]] const std::size_t residentBefore = PeakResidentKiB();
    const std::string url = base + "/cgi-bin/big.sh?" + std::to_string(kFiftyMegabytes);

    std::string head;
    ASSERT_EQ(Fetch(url, {}, head), 0) << head;
    [[maybe_unused]] const std::size_t residentAfter = PeakResidentKiB();
    std::string body = ReadFile(bodyFile());
    EXPECT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Type: application/octet-stream\r\n"), std::string::npos) << head;
    ASSERT_EQ(body.size(), kFiftyMegabytes);
    EXPECT_TRUE(body == Pattern(kFiftyMegabytes));
    EXPECT_GT(KoBodyStream::largestHeld(), 0u);
    EXPECT_LE(KoBodyStream::largestHeld(), kHeldAtMost);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's allocator keeps what is freed for a while.)
    EXPECT_LT(residentAfter, residentBefore + 24 * 1024);
#endif

    // HTTP/1.0 knows no chunks: the end of the connection ends the body.
    body.clear();
    ASSERT_EQ(Fetch(url, {"--http1.0"}, head), 0) << head;
    body = ReadFile(bodyFile());
    EXPECT_NE(head.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    ASSERT_EQ(body.size(), kFiftyMegabytes);
    EXPECT_TRUE(body == Pattern(kFiftyMegabytes));
    EXPECT_LE(KoBodyStream::largestHeld(), kHeldAtMost);
}

TEST_F(ScriptStreaming, ShortOutputKeepsItsLength) {
    Start();
    const std::string answer = Get("/cgi-bin/big.sh?1000");
    EXPECT_NE(HeadOf(answer).find("Content-Length: 1000\r\n"), std::string::npos) << HeadOf(answer);
    EXPECT_EQ(HeadOf(answer).find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(BodyOf(answer), Pattern(1000));
}

TEST_F(ScriptStreaming, ScriptWaitsForAClientThatDoesNotRead) {
    Start([](KoApplicationSettings& s) { s.http.cgiTimeout = milliseconds(60000); });
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/counted.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    // The script stalls on its own write: it is only ahead of the client by
    // what the socket buffers, the pipe and the server's bound hold.
    const int stalled = SettledCounter(counter);
    EXPECT_GE(stalled, 1);
    EXPECT_LT(stalled, 300) << "the script never waited";

    // Reading lets it go on to its end, and the body is whole.
    ASSERT_TRUE(client.readUntil([](const std::string& in) { return EndsWith(in, "\r\n0\r\n\r\n"); },
                                 milliseconds(60000)));
    const std::optional<std::string> body = Dechunk(client.received(), client.received().find("\r\n\r\n") + 4);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(body->size(), 400u * 65536);
    EXPECT_EQ(body->find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(ReadCounter(counter), 400);
    EXPECT_LE(KoBodyStream::largestHeld(), kHeldAtMost);
}

TEST_F(ScriptStreaming, ClientThatGoesAwayEndsTheRun) {
    Start();
    {
        RawHttpClient client(port);
        ASSERT_TRUE(client.connected());
        client.send("GET /cgi-bin/counted.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
        ASSERT_TRUE(client.readUntil([](const std::string& in) { return in.size() > 1024 * 1024; },
                                     milliseconds(10000)));
    }
    // The script is ended, not left blocked or running to its end.
    const int ended = SettledCounter(counter);
    EXPECT_LT(ended, 400);
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(ReadCounter(counter), ended);
    EXPECT_EQ(BodyOf(Get("/cgi-bin/small.sh")), "small");
}

TEST_F(ScriptStreaming, ScriptPastItsTimeMidBodyGivesATruncatedAnswer) {
    Start([](KoApplicationSettings& s) { s.http.cgiTimeout = milliseconds(1000); });
    testing::internal::CaptureStderr();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/stalls.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(client.readUntilClosed(milliseconds(5000)));
    const std::string errors = testing::internal::GetCapturedStderr();
    const std::string& answer = client.received();
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(HeadOf(answer).find("Transfer-Encoding: chunked\r\n"), std::string::npos) << HeadOf(answer);
    // Never the last chunk: the client must not take it for the whole.
    EXPECT_EQ(Dechunk(answer, answer.find("\r\n\r\n") + 4), std::nullopt);
    EXPECT_NE(errors.find("stalls.sh was cut short"), std::string::npos) << errors;

    // curl sees it fail, over HTTP/1.1 and HTTP/1.0 alike.
    EXPECT_NE(Curl({"-o", "/dev/null", base + "/cgi-bin/stalls.sh"}).exitCode, 0);
    EXPECT_NE(Curl({"--http1.0", "-o", "/dev/null", base + "/cgi-bin/stalls.sh"}).exitCode, 0);
}

TEST_F(ScriptStreaming, HeadGetsTheHeadAndTheConnectionGoesOn) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    const auto takeHead = [&client] {
        EXPECT_TRUE(client.readUntilContains("\r\n\r\n", milliseconds(5000)));
        std::string all = client.received();
        std::string head = all.substr(0, all.find("\r\n\r\n") + 4);
        return head;
    };
    client.send("HEAD /cgi-bin/big.sh?2000000 HTTP/1.1\r\nHost: localhost\r\n\r\nGET /cgi-bin/small.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string head = takeHead();
    EXPECT_EQ(StatusLineOf(head), "HTTP/1.1 200 OK");
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
    // Nothing of the script's body: the next answer follows the head.
    ASSERT_TRUE(client.readUntilContains("small", milliseconds(5000))) << client.received();
    const std::string rest = client.received().substr(head.size());
    EXPECT_EQ(StatusLineOf(rest), "HTTP/1.1 200 OK");
    EXPECT_EQ(BodyOf(rest), "small");

    // A short one is known whole: its length, no body.
    RawHttpClient second(port);
    second.send("HEAD /cgi-bin/small.sh HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(second.readUntilClosed(milliseconds(5000)));
    EXPECT_NE(second.received().find("Content-Length: 5\r\n"), std::string::npos) << second.received();
    EXPECT_EQ(BodyOf(second.received()), "");
}

TEST_F(ScriptStreaming, PipelinedRequestIsAnsweredAfterAStreamedAnswer) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/big.sh?3000000 HTTP/1.1\r\nHost: localhost\r\n\r\n"
                "GET /cgi-bin/small.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    std::optional<std::string> first;
    std::size_t end = 0;
    std::size_t scanned = 0;
    // Decoded only once its last chunk may be in: decoding 3 MB again at
    // every read took longer than the answer under the thread sanitizer.
    ASSERT_TRUE(client.readUntil(
        [&](const std::string& in) {
            const std::size_t start = in.find("\r\n\r\n");
            if (start == std::string::npos) return false;
            const std::size_t last = in.find("\r\n0\r\n\r\n", std::max(scanned, start));
            scanned = in.size() < 7 ? 0 : in.size() - 7;
            return last != std::string::npos && (first = Dechunk(in, start + 4, &end)).has_value();
        },
        milliseconds(10000)));
    EXPECT_TRUE(*first == Pattern(3000000));
    ASSERT_TRUE(client.readUntilContains("small", milliseconds(5000)));
    const std::string second = client.received().substr(end);
    EXPECT_EQ(StatusLineOf(second), "HTTP/1.1 200 OK") << second.substr(0, 200);
    EXPECT_EQ(BodyOf(second), "small");
    EXPECT_FALSE(client.closed());
}

TEST_F(ScriptStreaming, PhpStreamsALargeOutput) {
    constexpr int blocks = 320;  // 20 MiB
    WriteFile(root + "large.php",
              "<?php header('Content-Type: text/plain');\n"
              "for ($i = 0; $i < " + std::to_string(blocks) + "; $i++) echo str_repeat(chr(97 + $i % 26), 65536);\n");
    Start();
    KoBodyStream::resetLargestHeld();
    std::string head;
    ASSERT_EQ(Fetch(base + "/large.php", {}, head), 0) << head;
    const std::string body = ReadFile(bodyFile());
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("text/plain"), std::string::npos) << head;
    std::string expected;
    for (int i = 0; i < blocks; ++i) expected.append(65536, static_cast<char>('a' + i % 26));
    ASSERT_EQ(body.size(), expected.size());
    EXPECT_TRUE(body == expected);
    EXPECT_LE(KoBodyStream::largestHeld(), kHeldAtMost);
}

}  // namespace
