#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/process_limits.h"

TEST(FileSystem, ProbesFilesAndDirectories) {
    auto temp = platform::makeTemporaryDirectory("velko-platform-");
    ASSERT_TRUE(temp.ok()) << temp.error().text();
    const std::string dir = temp.value();
    EXPECT_TRUE(platform::directoryExists(dir));

    const std::string file = dir + "/data.bin";
    std::ofstream(file, std::ios::binary) << "12345";
    const auto info = platform::fileInfo(file);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size, 5u);
    EXPECT_TRUE(info->regular);
    EXPECT_FALSE(info->directory);
    EXPECT_FALSE(platform::directoryExists(file));

    const std::string sub = dir + "/sub";
    EXPECT_TRUE(platform::createDirectory(sub).ok());
    EXPECT_FALSE(platform::createDirectory(sub).ok());
    EXPECT_FALSE(platform::createDirectory(dir + "/no/such/parent").ok());
    EXPECT_TRUE(platform::directoryExists(sub));

    EXPECT_TRUE(platform::removeTree(dir).ok());
    EXPECT_FALSE(platform::fileInfo(dir));
    EXPECT_TRUE(platform::removeTree(dir).ok());
    EXPECT_FALSE(platform::fileInfo(""));
}

TEST(FileSystem, StatusTellsVersionsOfAFileApart) {
    auto temp = platform::makeTemporaryDirectory("velko-platform-");
    ASSERT_TRUE(temp.ok()) << temp.error().text();
    const std::string a = temp.value() + "/a";
    const std::string b = temp.value() + "/b";
    std::ofstream(a, std::ios::binary) << "one";
    std::ofstream(b, std::ios::binary) << "two";
    using namespace std::chrono;
    const sys_seconds when{seconds{1'000'000'000}};
    std::filesystem::last_write_time(a, file_clock::from_sys(when + nanoseconds(123'456'789)));
    const auto first = platform::fileInfo(a);
    const auto other = platform::fileInfo(b);
    ASSERT_TRUE(first && other);
    EXPECT_EQ(first->modifiedSeconds, 1'000'000'000);
    EXPECT_EQ(first->modifiedNanoseconds, 123'456'789);
    EXPECT_NE(first->fileId, other->fileId);
    // Rewritten in place: the same file, another time.
    std::ofstream(a, std::ios::binary) << "ONE";
    const auto again = platform::fileInfo(a);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->fileId, first->fileId);
    EXPECT_NE(again->modifiedSeconds, first->modifiedSeconds);
    platform::removeTree(temp.value());
}

// Every failure of a status query used to read as "no such file", so a file
// the server could not examine was answered as missing.
TEST(FileSystem, StatusTellsMissingFromFailed) {
    auto temp = platform::makeTemporaryDirectory("velko-platform-");
    ASSERT_TRUE(temp.ok());
    const std::string dir = temp.value();
    std::ofstream(dir + "/file", std::ios::binary) << "abc";
    std::filesystem::create_symlink(dir + "/loop", dir + "/loop");

    EXPECT_TRUE(platform::fileStatus(dir + "/file").ok());
    EXPECT_TRUE(platform::openError(dir + "/file").ok());
    for (const std::string& missing : {dir + "/none", dir + "/file/below", std::string()}) {
        EXPECT_TRUE(platform::fileStatus(missing).error().notFound()) << missing;
        EXPECT_TRUE(platform::openError(missing).notFound()) << missing;
    }
    const platform::Error loop = platform::fileStatus(dir + "/loop").error();
    EXPECT_FALSE(loop.ok());
    EXPECT_FALSE(loop.notFound());
    EXPECT_FALSE(platform::openError(dir + "/loop").notFound());

    const std::size_t limit = platform::descriptorLimit();
    ASSERT_TRUE(platform::setDescriptorLimit(3));
    const platform::Error exhausted = platform::openError(dir + "/file");
    platform::setDescriptorLimit(limit);
    EXPECT_TRUE(exhausted.outOfDescriptors()) << exhausted.text();
    EXPECT_FALSE(exhausted.notFound());
    platform::removeTree(dir);
}

// Another spelling of a directory (a link, repeated separators) must still
// count as that directory.
TEST(FileSystem, LocatedInComparesDirectoriesNotSpellings) {
    auto temp = platform::makeTemporaryDirectory("velko-platform-");
    ASSERT_TRUE(temp.ok());
    const std::string dir = temp.value();
    ASSERT_TRUE(platform::createDirectory(dir + "/inner").ok());
    ASSERT_TRUE(platform::createDirectory(dir + "/inner/deep").ok());
    ASSERT_TRUE(platform::createDirectory(dir + "/other").ok());
    std::ofstream(dir + "/inner/deep/x", std::ios::binary) << "x";
    std::ofstream(dir + "/other/y", std::ios::binary) << "y";
    std::filesystem::create_directory_symlink(dir + "/inner", dir + "/other/alias");
    std::filesystem::create_symlink(dir + "/inner/deep/x", dir + "/other/link");

    EXPECT_TRUE(platform::locatedIn(dir + "/inner/deep/x", dir + "/inner/"));
    EXPECT_TRUE(platform::locatedIn(dir + "//inner//deep/x", dir + "/inner"));
    EXPECT_TRUE(platform::locatedIn(dir + "/other/alias/deep/x", dir + "/inner/"));
    EXPECT_TRUE(platform::locatedIn(dir + "/other/link", dir + "/inner/"));
    EXPECT_TRUE(platform::locatedIn(dir + "/inner/deep/x", dir + "/other/alias"));
    EXPECT_FALSE(platform::locatedIn(dir + "/other/y", dir + "/inner/"));
    EXPECT_FALSE(platform::locatedIn(dir + "/inner/deep/x", dir + "/other/"));
    EXPECT_FALSE(platform::locatedIn(dir + "/inner/none", dir + "/inner/"));
    EXPECT_FALSE(platform::locatedIn(dir + "/inner/deep/x", ""));
    platform::removeTree(dir);
}

// Spellings that a Windows file system reads as another name than the text
// says (a source disclosure would come from them); a POSIX one reads every
// name as spelled.
TEST(FileSystem, AliasedPathsAreToldOnWindowsOnly) {
#ifdef _WIN32
    constexpr bool windows = true;
#else
    constexpr bool windows = false;
#endif
    struct Row {
        const char* path;
        bool aliased;  // on Windows
    };
    const Row rows[] = {
        {"/index.php", false},
        {"/cgi-bin/hello.exe", false},
        {"/docs/a.b.c/readme.txt", false},
        {"/~user/page.html", false},
        {"/index.php::$DATA", true},
        {"/index.php:stream", true},
        {"/cgi-bin/hello.exe.", true},
        {"/index.php ", true},
        {"/dir./file.txt", true},
        {"/CGI-BI~1/hello.exe", true},
        {"/PROGRA~2/x", true},
        {"/CON", true},
        {"/nul.txt", true},
        {"/aux.php", true},
        {"/dir/COM1", true},
        {"/Lpt1.html", true},
        {"/con .txt", true},
        {"/conf/console.txt", false},
        {"/c:/windows/win.ini", true},
        {"/C:x", true},
        {"//?/C:/x", true},
        {"//server/share/x", true},
        {"/a\\b", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(platform::isAliasedPath(row.path), windows && row.aliased) << row.path;
}
