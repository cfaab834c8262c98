// The router's decisions on a Windows file system (under Wine): spellings
// that Windows reads as another name are refused before any file is looked
// at, and on a case-insensitive file system a case variant of the CGI
// directory never serves a program's bytes or a script's source.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "platform/file_system.h"
#include "server/routing/router.h"
#include "server/routing/router_services.h"

namespace {

using Kind = KoPathDecision::Kind;

class NoStore : public KoRouterServices {
public:
    std::unique_ptr<KoApplicationHandler> createHandler(const std::string&) override { return nullptr; }
    bool forwardToHandler(const std::string&, KoXHeader&, KoXResponseHeader&, const std::string&) override {
        return false;
    }
    bool storeHas(const std::string&) override { return false; }
    bool storeLookup(const std::string&, KoXResponseHeader&) override { return false; }
    bool hasCommands() override { return false; }
};

class RouterOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = platform::makeTemporaryDirectory("velko_winroute_");
        ASSERT_TRUE(made.ok());
        root = made.value() + "\\";
        ASSERT_TRUE(platform::createDirectory(root + "cgi-bin").ok());
        std::ofstream(root + "cgi-bin\\hello.exe", std::ios::binary) << "MZ program";
        std::ofstream(root + "cgi-bin\\run.php", std::ios::binary) << "<?php secret();";
        std::ofstream(root + "index.php", std::ios::binary) << "<?php secret();";
        std::ofstream(root + "page.html", std::ios::binary) << "page";
        config.documentRoot = root;
        config.cgiDirectory = root + "cgi-bin\\";
    }
    void TearDown() override { platform::removeTree(root); }

    KoPathDecision Decide(const std::string& path) {
        KoRequestRouter router(transceiver, services, config);
        return router.decide(path);
    }

    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver{scheduler};
    NoStore services;
    KoRouterConfig config;
    std::string root;
};

TEST_F(RouterOnWindows, OtherSpellingsAreRefusedBeforeAnyFileIsLookedAt) {
    ASSERT_EQ(Decide("/page.html").kind, Kind::file);
    ASSERT_EQ(Decide("/cgi-bin/hello.exe").kind, Kind::program);
    ASSERT_EQ(Decide("/index.php").kind, Kind::script);
    for (const char* path : {"/index.php::$DATA", "/index.php:x", "/index.php.", "/index.php%20", "/index.php.%20.",
                             "/cgi-bin/hello.exe.", "/cgi-bin./hello.exe", "/cgi-bin%20/hello.exe",
                             "/CGI-BI~1/hello.exe", "/INDEX~1.PHP", "/CON", "/nul.txt", "/AUX.php", "/com1",
                             "/LPT1.html", "/cgi-bin/con", "/C:/windows/win.ini", "/c:index.php",
                             "/%5c%5c%3f%5cC:%5cx", "//?/C:/x", "/cgi-bin%5chello.exe"}) {
        const KoPathDecision decision = Decide(path);
        EXPECT_EQ(decision.kind, Kind::refuse) << path;
        EXPECT_EQ(decision.file, "") << path;
    }
    // A UNC form with '/' is no UNC path once the doubled separator is one.
    const KoPathDecision unc = Decide("//server/share/x");
    EXPECT_EQ(unc.decoded, "/server/share/x");
    EXPECT_EQ(unc.file.rfind(root, 0), 0u) << unc.file;
}

TEST_F(RouterOnWindows, ACaseVariantOfTheCgiDirectoryNeverServesItsFiles) {
    for (const char* path : {"/CGI-BIN/hello.exe", "/Cgi-Bin/hello.exe", "/cgi-BIN/HELLO.EXE", "/CGI-BIN/run.php",
                             "/Cgi-bin/", "/CGI-BIN/"}) {
        const KoPathDecision decision = Decide(path);
        EXPECT_NE(decision.kind, Kind::file) << path;
        EXPECT_NE(decision.kind, Kind::index) << path;
        EXPECT_NE(decision.kind, Kind::script) << path;
    }
}

}  // namespace
