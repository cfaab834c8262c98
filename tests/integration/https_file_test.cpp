// End to end over TLS with curl as a user runs it: the head of a file
// (-I), a copy kept up to date by date (-z) and by tag (--etag-save,
// --etag-compare), and pieces of files (-r), also of one larger than the
// chunks a file is sent in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/http/http_date.h"
#include "tls_site.h"

namespace {

// The value of a field in a head as curl prints it; "<none>" when absent.
std::string FieldOf(const std::string& head, const std::string& name) {
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "<none>";
    const std::size_t from = at + 4 + name.size();
    return head.substr(from, head.find("\r\n", from) - from);
}

class HttpsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) big += std::to_string(i) + ";";
        tls_test::writeFile(site.htmlroot + "big.bin", big);
        ASSERT_TRUE(server.start(site));
        base = server.base;
    }

    tls_test::CommandResult Curl(std::vector<std::string> arguments) {
        // These look at HTTP/1.1's own head (HTTP/2 has its own tests).
        std::vector<std::string> all = {"-s", "--http1.1", "--max-time", "20", "--cacert", site.certificate};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return tls_test::run("curl", all, "", 30000);
    }
    std::string File(const std::string& name) { return site.directory + "/" + name; }

    tls_site::Site site;
    tls_site::LoggedServer server;
    std::string base;
    std::string big;
};

}  // namespace

TEST_F(HttpsFiles, HeadShowsDateAndValidators) {
    const auto head = Curl({"-I", base + "/index.html"});
    ASSERT_TRUE(head.ok) << head.output;
    EXPECT_EQ(head.output.substr(0, 15), "HTTP/1.1 200 OK") << head.output;
    EXPECT_TRUE(KoParseHttpDate(FieldOf(head.output, "Date"))) << head.output;
    EXPECT_TRUE(KoParseHttpDate(FieldOf(head.output, "Last-Modified"))) << head.output;
    EXPECT_NE(FieldOf(head.output, "ETag"), "<none>") << head.output;
    EXPECT_EQ(FieldOf(head.output, "Accept-Ranges"), "bytes") << head.output;
    EXPECT_EQ(FieldOf(head.output, "Content-Type"), "text/html") << head.output;
    EXPECT_EQ(FieldOf(head.output, "Content-Length"),
              std::to_string(tls_test::readFile(site.htmlroot + "index.html").size()));
}

TEST_F(HttpsFiles, CopyKeptUpToDateByDateAndByTag) {
    // -z with the copy's own file: If-Modified-Since its time.
    const auto fetched = Curl({"-R", "-o", File("copy.css"), "-w", "%{http_code}", base + "/style.css"});
    EXPECT_EQ(fetched.output, "200");
    const auto again = Curl({"-z", File("copy.css"), "-o", File("again.css"), "-w", "%{http_code}", base + "/style.css"});
    EXPECT_EQ(again.output, "304");
    const auto older = Curl({"-z", "Thu, 01 Jan 1970 00:00:01 GMT", "-o", "/dev/null", "-w", "%{http_code}",
                             base + "/style.css"});
    EXPECT_EQ(older.output, "200");

    const auto saved = Curl({"--etag-save", File("tag.txt"), "-o", "/dev/null", "-w", "%{http_code}", base + "/app.js"});
    EXPECT_EQ(saved.output, "200");
    EXPECT_EQ(tls_test::readFile(File("tag.txt")).front(), '"');
    const auto compared = Curl({"--etag-compare", File("tag.txt"), "-w", "%{http_code}", base + "/app.js"});
    EXPECT_EQ(compared.output, "304");
    // Another version of the file: a new tag, the whole file again.
    tls_test::writeFile(site.htmlroot + "app.js", "// changed\n");
    const auto changed = Curl({"--etag-compare", File("tag.txt"), base + "/app.js"});
    EXPECT_EQ(changed.output, "// changed\n");

    std::string all;
    EXPECT_EQ(server.count("\"GET /app.js\" --> 304 ", &all), 1u) << all;
}

TEST_F(HttpsFiles, PiecesOfFiles) {
    const auto one = Curl({"-r", "1000000-2999999", "-o", File("piece.bin"), "-w", "%{http_code}", base + "/big.bin"});
    EXPECT_EQ(one.output, "206");
    const std::string piece = tls_test::readFile(File("piece.bin"));
    EXPECT_EQ(piece.size(), 2000000u);
    EXPECT_TRUE(piece == big.substr(1000000, 2000000));

    const auto head = Curl({"-I", "-r", "0-9", base + "/big.bin"});
    EXPECT_EQ(head.output.substr(0, 12), "HTTP/1.1 206") << head.output;
    EXPECT_EQ(FieldOf(head.output, "Content-Length"), "10");
    EXPECT_EQ(FieldOf(head.output, "Content-Range"), "bytes 0-9/" + std::to_string(big.size()));

    const auto several = Curl({"-r", "0-3,2000000-2000003", "-D", File("head.txt"), base + "/big.bin"});
    const std::string multipartHead = tls_test::readFile(File("head.txt"));
    EXPECT_NE(FieldOf(multipartHead, "Content-Type").find("multipart/byteranges; boundary="), std::string::npos)
        << multipartHead;
    EXPECT_NE(several.output.find("Content-Range: bytes 0-3/"), std::string::npos) << several.output;
    EXPECT_NE(several.output.find("\r\n\r\n" + big.substr(0, 4) + "\r\n--"), std::string::npos);
    EXPECT_NE(several.output.find("\r\n\r\n" + big.substr(2000000, 4) + "\r\n--"), std::string::npos);

    const auto beyond = Curl({"-r", "9999999-", "-o", "/dev/null", "-w", "%{http_code}", base + "/big.bin"});
    EXPECT_EQ(beyond.output, "416");
}
