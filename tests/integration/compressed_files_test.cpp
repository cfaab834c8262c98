// End to end over loopback with curl: static files sent compressed, from
// precompressed siblings and compressed by the server, decode to the file;
// every answer for them varies by Accept-Encoding and each coding has its
// own tag.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "compress/compressor.h"
#include "site_fixture.h"

namespace {

using namespace site_fixture;

std::string Script() {
    std::string text;
    for (int i = 0; text.size() < 60 * 1024; ++i) {
        text += "function step" + std::to_string(i) + "(v) { return v.map((x) => x * " + std::to_string(i % 97) +
                "); }\n";
    }
    return text;
}

class CompressedFiles : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        WriteFile(root + "app.js", script);
        // Written after the file: not older than it.
        WriteFile(root + "app.js.br", KoCompress(KoContentCoding::brotli, script));
        WriteFile(root + "app.js.gz", KoCompress(KoContentCoding::gzip, script));
        WriteFile(root + "live.css", style);
    }

    const std::string script = Script();
    const std::string style = std::string(8 * 1024, ' ') + "body { color: #123456; }\n" + Script().substr(0, 4096);
};

}  // namespace

TEST_F(CompressedFiles, CurlDecodesEveryVariantToTheFile) {
    Start();
    struct Case {
        const char* path;
        std::vector<std::string> options;  // how curl asks
        const char* coding;
        const char* sibling;  // the file whose bytes are sent, when precompressed
    };
    const Case cases[] = {
        {"/app.js", {"--compressed"}, "br", "app.js.br"},
        {"/app.js", {"--compressed", "-H", "Accept-Encoding: gzip"}, "gzip", "app.js.gz"},
        {"/app.js", {}, "<none>", nullptr},
        {"/live.css", {"--compressed", "-H", "Accept-Encoding: gzip;q=0.5, br"}, "br", nullptr},
        {"/live.css", {"--compressed", "-H", "Accept-Encoding: gzip"}, "gzip", nullptr},
        {"/live.css", {"-H", "Accept-Encoding: br;q=0, gzip;q=0"}, "<none>", nullptr},
    };
    std::set<std::string> tags;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.coding);
        std::vector<std::string> arguments = {"-D", "-"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(base + c.path);
        const CommandResult got = Curl(arguments);
        ASSERT_EQ(got.exitCode, 0) << got.output;
        const std::string& file = std::string(c.path) == "/app.js" ? script : style;
        EXPECT_EQ(StatusLineOf(got.output), "HTTP/1.1 200 OK");
        EXPECT_EQ(FieldOf(got.output, "Content-Encoding"), c.coding);
        EXPECT_EQ(FieldOf(got.output, "Vary"), "Accept-Encoding");
        EXPECT_TRUE(BodyOf(got.output) == file) << "decoded " << BodyOf(got.output).size() << " of " << file.size();
        const std::string length = FieldOf(got.output, "Content-Length");
        if (c.sibling != nullptr) {
            EXPECT_EQ(length, std::to_string(platform::fileInfo(root + c.sibling)->size));
        } else if (std::string(c.coding) != "<none>") {
            EXPECT_LT(std::stoul(length), file.size() / 2);
        } else {
            EXPECT_EQ(length, std::to_string(file.size()));
        }
        tags.insert(FieldOf(got.output, "ETag"));
    }
    // Three codings of each of two files, one tag each.
    EXPECT_EQ(tags.size(), 6u);

    // A sibling asked by its own name is a file like any other.
    const CommandResult sibling = Curl({"-D", "-", "-H", "Accept-Encoding: br", base + "/app.js.br"});
    EXPECT_EQ(FieldOf(sibling.output, "Content-Encoding"), "<none>");
    EXPECT_EQ(BodyOf(sibling.output), KoCompress(KoContentCoding::brotli, script));
}

TEST_F(CompressedFiles, TheSettingTurnsCompressionOff) {
    Start([](KoApplicationSettings& s) { s.http.compression.enabled = false; });
    for (const char* path : {"/app.js", "/live.css"}) {
        const CommandResult got = Curl({"-D", "-", "--compressed", base + path});
        EXPECT_EQ(FieldOf(got.output, "Content-Encoding"), "<none>") << path;
        EXPECT_EQ(FieldOf(got.output, "Vary"), "<none>") << path;
    }
}
