#include "foundation/file_utils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/file_system.h"

namespace {

class TempDir {
public:
    TempDir() {
        auto made = platform::makeTemporaryDirectory("velko-foundation-");
        EXPECT_TRUE(made.ok());
        if (made.ok()) path_ = made.value();
    }
    ~TempDir() { platform::removeTree(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

TEST(ToBackslashes, TurnsEverySlash) {
    EXPECT_EQ(toBackslashes("c:/www/a/"), "c:\\www\\a\\");
    EXPECT_EQ(toBackslashes("a\\b"), "a\\b");
    EXPECT_EQ(toBackslashes(""), "");
}

TEST(DirectoryPath, EndsInOneSeparator) {
    EXPECT_EQ(directoryPath("/srv/www"), "/srv/www/");
    EXPECT_EQ(directoryPath("/srv/www/"), "/srv/www/");
    EXPECT_EQ(directoryPath("c:/www"), "c:/www/");
    EXPECT_EQ(directoryPath("c:/www/"), "c:/www/");
    EXPECT_EQ(directoryPath("c:\\www\\"), "c:\\www\\");
    EXPECT_EQ(directoryPath("www"), "www/");
    EXPECT_EQ(directoryPath(""), "");
}

TEST(LastPathComponent, TakesTheLastNamedPart) {
    EXPECT_EQ(lastPathComponent("a/b/c.txt"), "c.txt");
    EXPECT_EQ(lastPathComponent("a\\b\\c.txt"), "c.txt");
    EXPECT_EQ(lastPathComponent("a/b\\c"), "c");
    EXPECT_EQ(lastPathComponent("a/b/"), "b");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(lastPathComponent("a/"), "a");
    EXPECT_EQ(lastPathComponent("/"), "");
    EXPECT_EQ(lastPathComponent(""), "");
}

TEST(EnsureDirectory, ProbesAndCreatesOneLevel) {
    TempDir temp;
    const std::string dir = temp.path() + "/made";
    EXPECT_FALSE(ensureDirectory(dir, false));
    EXPECT_TRUE(ensureDirectory(dir, true));
    EXPECT_TRUE(ensureDirectory(dir, false));
    EXPECT_TRUE(ensureDirectory(directoryPath(dir), false));
    EXPECT_TRUE(ensureDirectory(dir, true));
    EXPECT_FALSE(ensureDirectory(temp.path() + "/missing/child", true));

    // A file is not a directory, and cannot become one.
    const std::string file = temp.path() + "/plain";
    std::ofstream(file) << "x";
    EXPECT_FALSE(ensureDirectory(file, false));
    EXPECT_FALSE(ensureDirectory(file, true));

    EXPECT_FALSE(ensureDirectory(std::string(platform::maxPathLength + 1, 'a'), true));
    EXPECT_FALSE(ensureDirectory("", true));
}

TEST(FileStatus, ReportsExistenceAndSize) {
    TempDir temp;
    const std::string file = temp.path() + "/five";
    std::ofstream(file, std::ios::binary) << "12345";
    std::uint64_t size = 99;
    EXPECT_TRUE(fileStatus(file, &size));
    EXPECT_EQ(size, 5u);
    EXPECT_TRUE(fileStatus(file));

    size = 99;
    EXPECT_FALSE(fileStatus(temp.path() + "/absent", &size));
    EXPECT_EQ(size, 99u);
}

// Sizes beyond 4 GiB used to be cut to 32 bits.
TEST(FileStatus, SizeIsSixtyFourBit) {
    TempDir temp;
    const std::string file = temp.path() + "/sparse";
    const std::uint64_t fiveGiB = 5ull << 30;
    {
        std::ofstream out(file, std::ios::binary);
        out.seekp(static_cast<std::streamoff>(fiveGiB - 1));
        out.put('x');
        if (!out) GTEST_SKIP() << "the file system here takes no 5 GiB sparse file";
    }
    std::uint64_t size = 0;
    ASSERT_TRUE(fileStatus(file, &size));
    EXPECT_EQ(size, fiveGiB);
}
