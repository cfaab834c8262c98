// A real browser: headless Chromium loads the sample site over HTTPS; the
// page's stylesheet and JavaScript module must have applied. A screenshot
// is left in the build directory.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/velko_server_api.h"
#include "platform/file_system.h"
#include "tls_site.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

std::vector<std::string> BrowserArguments(const std::string& profile) {
    return {"--headless",           "--no-sandbox",      "--disable-gpu",          "--ignore-certificate-errors",
            "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run",
            "--user-data-dir=" + profile};
}

class Browser : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::fileInfo(kChromium)) GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        handle = StartHTTPServer("127.0.0.1", 0, site.htmlroot.c_str(), (site.htmlroot + "cgi-bin/").c_str(),
                                 site.certificate.c_str(), site.key.c_str());
        for (int i = 0; i < 500 && ServerPort(handle) == 0; ++i) std::this_thread::sleep_for(10ms);
        ASSERT_NE(ServerPort(handle), 0);
        url = "https://localhost:" + std::to_string(ServerPort(handle)) + "/";
    }
    void TearDown() override { StopHTTPserver(handle); }

    // A fresh, empty profile for each run.
    std::string Profile(const std::string& name) {
        const std::string path = site.directory + "/" + name;
        platform::createDirectory(path);
        return path;
    }

    tls_site::Site site;
    void* handle = nullptr;
    std::string url;
};

}  // namespace

TEST_F(Browser, SamplePageRunsItsModuleAndStylesheet) {
    auto arguments = BrowserArguments(Profile("dom"));
    arguments.push_back("--dump-dom");
    arguments.push_back(url);
    const auto dom = tls_test::run(kChromium, arguments, "", 120000);
    ASSERT_TRUE(dom.ok) << dom.output;
    EXPECT_NE(dom.output.find("The JavaScript module ran."), std::string::npos) << dom.output;
    EXPECT_NE(dom.output.find("class=\"ran\""), std::string::npos) << dom.output;
    EXPECT_NE(dom.output.find("data-stylesheet=\"applied\""), std::string::npos) << dom.output;

    const std::string shot = std::string(VELKO_ARTIFACT_DIR) + "/browser-sample-page.png";
    platform::removeTree(shot);
    arguments = BrowserArguments(Profile("shot"));
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
