#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <fstream>

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
