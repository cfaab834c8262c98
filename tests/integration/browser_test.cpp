// A real browser: headless Chromium loads pages over HTTPS. The sample
// site's stylesheet and JavaScript module must have applied (a screenshot
// is left in the build directory); a page loaded again revalidates its
// stylesheet (304 in the access log); a video that seeks is fetched in
// ranges (206 in the access log).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "tls_site.h"

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";

// The browser trusts the site's own key (its hash, in base64): a page
// with certificate errors is never cached, so nothing would revalidate.
std::vector<std::string> BrowserArguments(const std::string& profile, const std::string& keyHash) {
    return {"--headless",           "--no-sandbox",      "--disable-gpu",
            "--ignore-certificate-errors-spki-list=" + keyHash,
            "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run",
            "--user-data-dir=" + profile};
}

// SHA-256 of the certificate's public key, in base64.
std::string KeyHash(const std::string& certificate) {
    const auto hashed = tls_site::Shell("openssl x509 -in " + tls_site::Quoted(certificate) +
                                        " -pubkey -noout | openssl pkey -pubin -outform der"
                                        " | openssl dgst -sha256 -binary | base64");
    std::string hash = hashed.output;
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    return hashed.ok ? hash : std::string();
}

class Browser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::fileInfo(kChromium)) GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        keyHash = KeyHash(site.certificate);
        ASSERT_EQ(keyHash.size(), 44u) << keyHash;
    }
    void Start(const std::string& cacheControl = "") {
        KoApplicationSettings settings;
        settings.http.cacheControl = cacheControl;
        ASSERT_TRUE(server.start(site, settings));
        url = server.base + "/";
    }

    // A fresh, empty profile for each name.
    std::string Profile(const std::string& name) {
        const std::string path = site.directory + "/" + name;
        platform::createDirectory(path);
        return path;
    }

    tls_test::CommandResult DumpDom(const std::string& profile, const std::string& page) {
        auto arguments = BrowserArguments(profile, keyHash);
        arguments.push_back("--dump-dom");
        arguments.push_back(url + page);
        return tls_test::run(kChromium, arguments, "", 120000);
    }

    tls_site::Site site;
    tls_site::LoggedServer server;
    std::string keyHash;
    std::string url;
};

}  // namespace

TEST_F(Browser, SamplePageRunsItsModuleAndStylesheet) {
    Start();
    const auto dom = DumpDom(Profile("dom"), "");
    ASSERT_TRUE(dom.ok) << dom.output;
    EXPECT_NE(dom.output.find("The JavaScript module ran."), std::string::npos) << dom.output;
    EXPECT_NE(dom.output.find("class=\"ran\""), std::string::npos) << dom.output;
    EXPECT_NE(dom.output.find("data-stylesheet=\"applied\""), std::string::npos) << dom.output;

    const std::string shot = std::string(VELKO_ARTIFACT_DIR) + "/browser-sample-page.png";
    platform::removeTree(shot);
    auto arguments = BrowserArguments(Profile("shot"), keyHash);
    arguments.push_back("--window-size=1024,768");
    arguments.push_back("--screenshot=" + shot);
    arguments.push_back(url);
    const auto taken = tls_test::run(kChromium, arguments, "", 120000);
    EXPECT_TRUE(taken.ok) << taken.output;
    const auto info = platform::fileInfo(shot);
    ASSERT_TRUE(info.has_value());
    EXPECT_GT(info->size, 1000u);
    EXPECT_EQ(tls_test::readFile(shot).substr(1, 3), "PNG");
}

// Every reload fetched every file again: answers had no validators to
// revalidate by.
TEST_F(Browser, SecondLoadRevalidatesTheStylesheet) {
    tls_test::writeFile(site.htmlroot + "styled.html",
                        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>styled</title>"
                        "<link rel=\"stylesheet\" href=\"look.css\"></head><body><p id=\"p\">text</p><script>"
                        "const width = getComputedStyle(document.getElementById('p')).borderLeftWidth;"
                        "document.body.dataset.border = width;</script></body></html>");
    tls_test::writeFile(site.htmlroot + "look.css", "#p { border-left: 7px solid green; }");
    // Every load asks whether the copy in the cache is still good.
    Start("no-cache");
    const std::string profile = Profile("revalidate");
    for (int load = 1; load <= 2; ++load) {
        const auto dom = DumpDom(profile, "styled.html");
        ASSERT_TRUE(dom.ok) << dom.output;
        EXPECT_NE(dom.output.find("data-border=\"7px\""), std::string::npos) << "load " << load << ":\n" << dom.output;
    }
    std::string all;
    EXPECT_EQ(server.count("\"GET /look.css\" --> 200 ", &all), 1u) << all;
    EXPECT_EQ(server.count("\"GET /look.css\" --> 304 "), 1u) << all;
    EXPECT_EQ(server.count("\"GET /styled.html\" --> 304 "), 1u) << all;
}

// A video could not seek: nothing answered a Range.
TEST_F(Browser, VideoSeeksThroughRanges) {
    if (!platform::fileInfo(kFfmpeg)) GTEST_SKIP() << "ffmpeg is not installed (apt-get install -y ffmpeg)";
    // Four seconds of noise, which hardly compresses: a file large enough
    // that the browser asks for its end and for the place it seeks to
    // apart from its first request.
    const auto made = tls_test::run(kFfmpeg, {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                              "nullsrc=size=320x240:rate=10,geq=random(1)*255:128:128", "-t", "4",
                                              "-c:v", "libvpx", "-b:v", "4000k", "-g", "5", "-an",
                                              site.htmlroot + "clip.webm"},
                                    "", 120000);
    ASSERT_TRUE(made.ok) << made.output;
    ASSERT_GT(platform::fileInfo(site.htmlroot + "clip.webm")->size, 1500000u);
    // The page tells a CGI program when the video has seeked; the frame
    // that waits for that keeps the page loading (and the browser from
    // dumping it) until then, or for at most 30 seconds.
    const std::string marker = site.directory + "/seeked.txt";
    tls_test::writeFile(site.htmlroot + "cgi-bin/seeked.sh",
                        "#!/bin/sh\nprintf '%s' \"$QUERY_STRING\" > " + tls_site::Quoted(marker) +
                            "\nprintf 'Content-Type: text/plain\\r\\n\\r\\nnoted'\n");
    tls_test::writeFile(site.htmlroot + "cgi-bin/wait.sh",
                        "#!/bin/sh\ni=0\nwhile [ ! -f " + tls_site::Quoted(marker) +
                            " ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n"
                            "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n");
    ASSERT_TRUE(tls_site::Shell("chmod 755 " + tls_site::Quoted(site.htmlroot + "cgi-bin/seeked.sh") + " " +
                                tls_site::Quoted(site.htmlroot + "cgi-bin/wait.sh"))
                    .ok);
    tls_test::writeFile(site.htmlroot + "video.html",
                        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>video</title></head>"
                        "<body data-state=\"waiting\"><video id=\"v\" src=\"clip.webm\" preload=\"metadata\" muted>"
                        "</video><script>const v = document.getElementById('v');"
                        "v.addEventListener('loadedmetadata', () => { v.currentTime = v.duration - 0.5; });"
                        "v.addEventListener('seeked', () => {"
                        "  document.body.dataset.state = 'seeked ' + v.currentTime.toFixed(1);"
                        "  fetch('cgi-bin/seeked.sh?' + v.currentTime.toFixed(1)); });"
                        "v.addEventListener('error', () => {"
                        "  document.body.dataset.state = 'error ' + (v.error && v.error.code);"
                        "  fetch('cgi-bin/seeked.sh?error'); });"
                        "</script><iframe src=\"cgi-bin/wait.sh\"></iframe></body></html>");
    // Kept out of the browser's cache, so that every piece it reads comes
    // from the server.
    Start("no-store");
    const auto dom = DumpDom(Profile("video"), "video.html");
    ASSERT_TRUE(dom.ok) << dom.output;
    EXPECT_NE(dom.output.find("data-state=\"seeked 3.5\""), std::string::npos) << dom.output;
    EXPECT_EQ(tls_test::readFile(marker), "3.5");
    std::string all;
    EXPECT_GE(server.count("\"GET /clip.webm\" --> 206 ", &all), 2u) << all;
    EXPECT_EQ(server.count("\"GET /clip.webm\" --> 200 "), 0u) << all;
}
