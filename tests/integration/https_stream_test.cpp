// End to end over TLS: a CGI program's large output reaches curl as the
// program writes it, chunked over HTTP/1.1 and delimited by the end of the
// connection over HTTP/1.0, byte for byte, with one log line each; and one
// cut short by its time limit never looks whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/body_stream.h"
#include "platform/child_process.h"
#include "tls_site.h"

namespace {

constexpr std::size_t kFiftyMegabytes = 50u * 1024 * 1024;

class HttpsStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        Script("big.sh", "yes velko-stream-0123456789 | head -c \"$QUERY_STRING\"\n");
        Script("stalls.sh", "head -c 100000 /dev/zero\nsleep 5\n");
        KoApplicationSettings settings;
        settings.http.cgiTimeout = std::chrono::milliseconds(20000);
        ASSERT_TRUE(server.start(site, settings));
    }

    // A CGI program: a plain-text header block, then body.
    void Script(const std::string& name, const std::string& body) {
        const std::string path = site.htmlroot + "cgi-bin/" + name;
        tls_test::writeFile(path, "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n" + body);
        tls_test::run("chmod", {"755", path});
    }

    // curl's exit code and the head it saw; the body is in bodyFile.
    int Fetch(const std::string& target, std::vector<std::string> options, std::string& head) {
        const std::string headFile = site.directory + "/head.txt";
        std::vector<std::string> all = {"-s", "--http1.1", "--max-time", "60", "--cacert", site.certificate,
                                        "-D", headFile, "-o", bodyFile()};
        all.insert(all.end(), options.begin(), options.end());
        all.push_back(server.base + target);
        const int code = tls_test::run("curl", all, "", 90000).exitCode;
        head = tls_test::readFile(headFile);
        return code;
    }
    std::string bodyFile() const { return site.directory + "/body.bin"; }

    static std::string Pattern(std::size_t size) {
        const std::string line = "velko-stream-0123456789\n";
        std::string out;
        out.reserve(size + line.size());
        while (out.size() < size) out += line;
        out.resize(size);
        return out;
    }

    tls_site::Site site;
    tls_site::LoggedServer server;
};

}  // namespace

// CGI output was held whole in memory before the first byte went out, over
// HTTPS as over HTTP.
TEST_F(HttpsStreaming, FiftyMegabytesByteExactOverHttp11AndHttp10) {
    const std::string target = "/cgi-bin/big.sh?" + std::to_string(kFiftyMegabytes);
    const std::string expected = Pattern(kFiftyMegabytes);
    KoBodyStream::resetLargestHeld();

    std::string head;
    ASSERT_EQ(Fetch(target, {}, head), 0) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    EXPECT_TRUE(tls_test::readFile(bodyFile()) == expected);

    ASSERT_EQ(Fetch(target, {"--http1.0"}, head), 0) << head;
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
    EXPECT_TRUE(tls_test::readFile(bodyFile()) == expected);
    EXPECT_LE(KoBodyStream::largestHeld(), 2u * 64 * 1024);

    // One line per answer, with the bytes sent: head, body and framing.
    std::string log;
    EXPECT_EQ(server.count("\"GET " + target + "\" --> 200 ", &log), 2u) << log;
    for (const std::string& line : server.log()) {
        if (line.find(target) == std::string::npos) continue;
        const std::size_t at = line.find("--> 200 ") + 8;
        EXPECT_GT(std::stoull(line.substr(at)), kFiftyMegabytes) << line;
    }
}

TEST_F(HttpsStreaming, CutAnswerIsNeverTakenForWhole) {
    KoApplicationSettings settings;
    settings.http.cgiTimeout = std::chrono::milliseconds(1000);
    tls_site::LoggedServer hasty;
    ASSERT_TRUE(hasty.start(site, settings));
    const std::string url = hasty.base + "/cgi-bin/stalls.sh";
    for (const char* version : {"--http1.1", "--http1.0"}) {
        const auto run = tls_test::run("curl", {"-s", "--max-time", "20", "--cacert", site.certificate, version,
                                                "-o", "/dev/null", url});
        EXPECT_NE(run.exitCode, 0) << version;
    }
}
