#include "server/files/file_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "server/files/mime_types.h"

using namespace std::chrono_literals;

namespace {

struct Folder {
    std::string path = platform::makeTemporaryDirectory("velko-file-cache").value() + "/";
    ~Folder() { platform::removeTree(path); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path + name, std::ios::binary | std::ios::trunc) << text;
    }
};

std::string Content(const KoOpenFile& file) {
    if (file.content) return *file.content;
    std::string text(file.identity.size, '\0');
    const auto read = platform::readAt(file.descriptor.get(), text.data(), text.size(), 0);
    text.resize(read.bytes);
    return text;
}

}  // namespace

TEST(KoFileCache, AFileIsOpenedOnceWhileItStaysTheSame) {
    Folder folder;
    folder.write("a.html", "first");
    KoFileCache cache(8, 1h);
    auto one = cache.open(folder.path + "a.html");
    auto two = cache.open(folder.path + "a.html");
    ASSERT_TRUE(one.ok() && two.ok());
    EXPECT_EQ(one.value().get(), two.value().get());
    EXPECT_EQ(Content(*one.value()), "first");
    EXPECT_TRUE(cache.status(folder.path + "a.html").value().regular);
    EXPECT_TRUE(cache.status(folder.path).value().directory);
}

TEST(KoFileCache, AChangedFileIsServedNewOnceTheValidityHasPassed) {
    Folder folder;
    folder.write("a.html", "first");
    KoFileCache cache(8, 50ms);
    auto before = cache.open(folder.path + "a.html").value();
    folder.write("a.html", "second, longer");
    // Within the validity the cache answers as it knew.
    EXPECT_EQ(cache.status(folder.path + "a.html").value().size, 5u);
    std::this_thread::sleep_for(80ms);
    auto after = cache.open(folder.path + "a.html");
    ASSERT_TRUE(after.ok());
    EXPECT_NE(after.value().get(), before.get());
    EXPECT_EQ(Content(*after.value()), "second, longer");
    // An answer in flight keeps the file it had.
    EXPECT_EQ(before->identity.size, 5u);

    // Replaced under its name with the same size: another file all the same.
    folder.write("b.html", "SECOND, LONGER");
    std::filesystem::rename(folder.path + "b.html", folder.path + "a.html");
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(Content(*cache.open(folder.path + "a.html").value()), "SECOND, LONGER");
}

TEST(KoFileCache, AStatusAskedToCheckNowSeesAChangeWithinTheValidity) {
    Folder folder;
    folder.write("a.html", "first");
    KoFileCache cache(8, 1h);
    const auto before = cache.open(folder.path + "a.html").value();
    folder.write("a.html", "second, longer");
    EXPECT_EQ(cache.status(folder.path + "a.html").value().size, 5u);
    const auto now = cache.status(folder.path + "a.html", true);
    ASSERT_TRUE(now.ok());
    EXPECT_EQ(now.value().size, 14u);
    // What was open of the old version is not handed out again.
    const auto after = cache.open(folder.path + "a.html").value();
    EXPECT_NE(after.get(), before.get());
    EXPECT_EQ(Content(*after), "second, longer");
    EXPECT_EQ(Content(*before), "first");
    // Gone: checked now, it is missing at once.
    std::remove((folder.path + "a.html").c_str());
    const auto gone = cache.status(folder.path + "a.html", true);
    ASSERT_FALSE(gone.ok());
    EXPECT_TRUE(gone.error().notFound());
}

TEST(KoFileCache, AMissingFileIsMissingAndAppearsOnceTheValidityHasPassed) {
    Folder folder;
    KoFileCache cache(8, 50ms);
    auto missing = cache.open(folder.path + "late.html");
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.error().notFound());
    EXPECT_TRUE(cache.status(folder.path + "late.html").error().notFound());
    folder.write("late.html", "here now");
    std::this_thread::sleep_for(80ms);
    auto found = cache.open(folder.path + "late.html");
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(Content(*found.value()), "here now");
}

TEST(KoFileCache, WhereAPathLeadsIsFoundAgainWhenItLeadsElsewhere) {
    Folder folder;
    std::filesystem::create_directories(folder.path + "cgi-bin");
    std::filesystem::create_directories(folder.path + "public");
    folder.write("public/page.txt", "public");
    folder.write("cgi-bin/page.txt", "script source");
    std::filesystem::create_directory_symlink(folder.path + "public", folder.path + "link");
    KoFileCache cache(8, 50ms);
    const std::string viaLink = folder.path + "link/page.txt";
    EXPECT_FALSE(cache.locatedIn(viaLink, folder.path + "cgi-bin/"));
    // The link now leads into the CGI directory: the path names another
    // file, and what was known of the first no longer holds.
    std::filesystem::remove(folder.path + "link");
    std::filesystem::create_directory_symlink(folder.path + "cgi-bin", folder.path + "link");
    std::this_thread::sleep_for(80ms);
    EXPECT_TRUE(cache.locatedIn(viaLink, folder.path + "cgi-bin/"));
    EXPECT_EQ(Content(*cache.open(viaLink).value()), "script source");
}

TEST(KoFileCache, KeepsAtMostItsCapacity) {
    Folder folder;
    KoFileCache cache(4, 1h);
    for (int i = 0; i < 10; ++i) {
        folder.write("f" + std::to_string(i), std::to_string(i));
        ASSERT_TRUE(cache.open(folder.path + "f" + std::to_string(i)).ok());
    }
    EXPECT_LE(cache.size(), 4u);
    // The most recent are kept.
    auto last = cache.open(folder.path + "f9");
    EXPECT_EQ(Content(*last.value()), "9");
}

TEST(KoFileCache, ASmallFileRewrittenInPlaceIsAnsweredWholeAsItWasUntilTheValidityPasses) {
    Folder folder;
    folder.write("a.html", "first");
    KoFileCache cache(8, 60ms);
    auto before = cache.open(folder.path + "a.html").value();
    ASSERT_TRUE(before->content);
    EXPECT_EQ(*before->content, "first");
    EXPECT_EQ(cache.contentBytes(), 5u);
    // Rewritten in place (same inode): the kept bytes stay whole, not the
    // old length over the new bytes.
    folder.write("a.html", "XYZWV and more");
    EXPECT_EQ(*cache.open(folder.path + "a.html").value()->content, "first");
    std::this_thread::sleep_for(90ms);
    EXPECT_EQ(*cache.open(folder.path + "a.html").value()->content, "XYZWV and more");
    EXPECT_EQ(cache.contentBytes(), 14u);
    // A large file is not kept in memory.
    folder.write("big.bin", std::string(KoFileCache::smallFile + 1, 'b'));
    EXPECT_FALSE(cache.open(folder.path + "big.bin").value()->content);
}

// What lookup() found is a hint: given with another path, or after its entry
// was dropped to make room, the calls look the path up again and answer for
// the path they are given.
TEST(KoFileCache, WhatALookupFoundNeverAnswersForAnotherPath) {
    Folder folder;
    folder.write("a.html", "a");
    folder.write("bb.html", "bb");
    KoFileCache cache(1, 1h);
    const std::string a = folder.path + "a.html", b = folder.path + "bb.html";
    const KoFileCache::Found foundA = cache.lookup(a);
    EXPECT_EQ(cache.status(a, foundA).value().size, 1u);
    EXPECT_EQ(cache.status(b, foundA).value().size, 2u);  // another path; a's entry goes
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.status(a, foundA).value().size, 1u);
    EXPECT_FALSE(cache.locatedIn(a, foundA, folder.path + "elsewhere/"));
    const auto opened = cache.open(a, foundA);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(Content(*opened.value()), "a");
    EXPECT_FALSE(cache.status(folder.path + "none", foundA).ok());
    // Nor for another cache: one cache's Found was taken by another as its
    // own while both had dropped as many entries, and answered old facts.
    KoFileCache first(4, 1h), other(4, 1h);
    const KoFileCache::Found foundFirst = first.lookup(a);
    folder.write("a.html", "changed");
    EXPECT_EQ(other.status(a, foundFirst).value().size, 7u);
    folder.write("a.html", "a");
    // The media type kept with an entry is the one of the path asked about.
    for (const std::string& path : {a, b, a, folder.path + "none", folder.path + "x.JS", a}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(cache.mediaType(path, foundA), KoMimeTypeFor(path));
        EXPECT_EQ(cache.mediaType(path, cache.lookup(path)), KoMimeTypeFor(path));
    }
}
