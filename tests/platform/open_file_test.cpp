#include "platform/open_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "platform/processor.h"
#include "platform/socket.h"

namespace {

struct TempDir {
    std::string path = platform::makeTemporaryDirectory("velko-open-file").value();
    ~TempDir() { platform::removeTree(path); }
};

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace

TEST(OpenFile, ReadsAtOffsetsWithoutASharedPosition) {
    TempDir dir;
    const std::string file = dir.path + "/f.txt";
    Write(file, "0123456789");
    auto opened = platform::openForReading(file);
    ASSERT_TRUE(opened.ok());
    char buffer[8] = {};
    auto tail = platform::readAt(opened.value().get(), buffer, sizeof buffer, 6);
    ASSERT_TRUE(tail.error.ok());
    EXPECT_EQ(std::string(buffer, tail.bytes), "6789");
    auto head = platform::readAt(opened.value().get(), buffer, 3, 0);
    EXPECT_EQ(std::string(buffer, head.bytes), "012");
    auto end = platform::readAt(opened.value().get(), buffer, 3, 10);
    EXPECT_TRUE(end.error.ok());
    EXPECT_EQ(end.bytes, 0u);
}

TEST(OpenFile, TellsAMissingFileFromOneThatCannotBeOpened) {
    TempDir dir;
    auto missing = platform::openForReading(dir.path + "/none");
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.error().notFound());
    auto underFile = platform::openForReading(dir.path + "/none/deeper");
    EXPECT_TRUE(underFile.error().notFound());
    auto identity = platform::fileIdentity(dir.path + "/none");
    ASSERT_FALSE(identity.ok());
    EXPECT_TRUE(identity.error().notFound());
}

TEST(OpenFile, AReplacedOrChangedFileHasAnotherIdentity) {
    TempDir dir;
    const std::string file = dir.path + "/f.txt";
    Write(file, "first");
    auto opened = platform::openForReading(file);
    ASSERT_TRUE(opened.ok());
    const auto original = platform::fileIdentity(opened.value().get());
    ASSERT_TRUE(original.ok());
    EXPECT_TRUE(original.value().regular);
    EXPECT_EQ(original.value().size, 5u);
    EXPECT_EQ(platform::fileIdentity(file).value(), original.value());

    // Replaced under its name: a new inode.
    Write(dir.path + "/g.txt", "other");
    ASSERT_EQ(std::rename((dir.path + "/g.txt").c_str(), file.c_str()), 0);
    EXPECT_NE(platform::fileIdentity(file).value(), original.value());
    // The open descriptor still reads the old file.
    char buffer[8];
    EXPECT_EQ(std::string(buffer, platform::readAt(opened.value().get(), buffer, 8, 0).bytes), "first");

    // Changed in place: another size.
    const auto replaced = platform::fileIdentity(file).value();
    Write(file, "longer text");
    EXPECT_NE(platform::fileIdentity(file).value(), replaced);
    EXPECT_FALSE(platform::fileIdentity(dir.path).value().regular);
}

TEST(OpenFile, SendsARangeOfAFileOverASocket) {
    TempDir dir;
    const std::string file = dir.path + "/f.bin";
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 26);
    Write(file, content);
    auto opened = platform::openForReading(file);
    auto pair = platform::socketPair();
    ASSERT_TRUE(opened.ok() && pair.ok());
    auto sent = platform::sendFileRange(pair.value().first.get(), opened.value().get(), 1000, 3000);
    ASSERT_TRUE(sent.error.ok()) << sent.error.text();
    EXPECT_EQ(sent.bytes, 3000u);
    std::string got(3000, '\0');
    std::size_t at = 0;
    while (at < got.size()) {
        auto received = platform::receiveSome(pair.value().second.get(), got.data() + at, got.size() - at);
        ASSERT_TRUE(received.error.ok());
        ASSERT_GT(received.bytes, 0u);
        at += received.bytes;
    }
    EXPECT_EQ(got, content.substr(1000, 3000));
}

TEST(OpenFile, SendingAFileToAPeerThatWentAwayIsAnErrorNotTheEndOfTheProcess) {
    TempDir dir;
    const std::string file = dir.path + "/f.bin";
    Write(file, std::string(100000, 'x'));
    auto opened = platform::openForReading(file);
    auto pair = platform::socketPair();
    ASSERT_TRUE(opened.ok() && pair.ok());
    pair.value().second.reset();
    // Run on a thread of its own, as a loop would: the signal must not reach
    // the process whichever thread sends.
    platform::IoResult sent;
    std::thread sender([&] { sent = platform::sendFileRange(pair.value().first.get(), opened.value().get(), 0, 100000); });
    sender.join();
    EXPECT_FALSE(sent.error.ok());
}

TEST(Processor, AtLeastOneIsUsable) { EXPECT_GE(platform::usableProcessors(), 1u); }
