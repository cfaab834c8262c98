// Which variant of a static file is sent: siblings, compressed bytes kept
// in the file cache, or the file as it is; and the cache compressing once
// per version.
#include "server/files/file_encoding.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "message/response_header.h"
#include "platform/file_system.h"
#include "server/files/file_cache.h"
#include "server/files/mime_types.h"
#include "server/http/entity_tag.h"
#include "server/http/http_date.h"

namespace {

// Text that shrinks, unlike the last characters of a line repeated.
std::string Script(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text += "function f" + std::to_string(i) + "(a) { return a * " + std::to_string(i * 7) + " + 'x'; }\n";
    }
    return text;
}

std::string Noise(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

struct Site {
    std::string path = platform::makeTemporaryDirectory("velko-file-encoding").value() + "/";
    ~Site() { platform::removeTree(path); }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path + name, std::ios::binary | std::ios::trunc) << bytes;
    }
    // Shifts a file's modification time (seconds; negative: older).
    void age(const std::string& name, int seconds) const {
        const auto when = std::filesystem::last_write_time(path + name);
        std::filesystem::last_write_time(path + name, when + std::chrono::seconds(seconds));
    }
};

std::unique_ptr<KoXHeader> Request(const std::string& method, const std::string& fields) {
    auto request = std::make_unique<KoXHeader>(0, false, 3);
    request->AppendInput(method + " /f HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n");
    request->ConsumeHeader([](KoXHeader&) { return true; });
    return request;
}

KoFileFacts FactsOf(KoFileCache& cache, const std::string& file) {
    const platform::FileInfo info = cache.status(file).value();
    return {KoMimeTypeFor(file), info.size, info.modifiedSeconds, info.modifiedNanoseconds, info.fileId};
}

// The tag of a file's version, with a coding's name when given.
std::string TagOf(KoFileCache& cache, const std::string& file, const std::string& coding = "") {
    const KoFileFacts facts = FactsOf(cache, file);
    std::string tag = KoEntityTagOf(facts.fileId, facts.size, facts.modifiedSeconds, facts.modifiedNanoseconds);
    if (!coding.empty()) tag.insert(tag.size() - 1, "-" + coding);
    return tag;
}

struct Prepared {
    KoFileBody body;
    std::shared_ptr<KoXResponseHeader> response;
    std::string Field(const std::string& name) const { return response->FirstValue(name, "<none>"); }
    // The bytes the answer carries: the cache's compressed ones it shares, or its own.
    std::string Sent() const {
        if (response->bodyOpenFile && response->bodyOpenFile->content) return *response->bodyOpenFile->content;
        return response->Body();
    }
};

Prepared Prepare(KoFileCache& cache, const std::string& file, const std::string& method, const std::string& fields,
                 const KoStaticCompression& compression = {}, const KoSiblingLookup& lookup = {}) {
    auto request = Request(method, fields);
    Prepared prepared;
    prepared.response = request->MakeAnswer();
    KoFileAnswerOptions options;
    options.now = KoSecondsNow() + 10;
    prepared.body = KoPrepareFileVariant(*request, file, FactsOf(cache, file), options, compression, cache, lookup,
                                         *prepared.response);
    return prepared;
}

class FileEncoding : public ::testing::Test {
protected:
    void SetUp() override {
        site.write("app.js", Script(100));
        site.write("app.js.br", "brotli sibling");
        site.write("app.js.gz", "stale gzip sibling");
        site.age("app.js.gz", -100);
        site.write("plain.js", Script(100));
        site.write("tiny.js", "var a = 1;");
        site.write("random.js", Noise(8 * 1024));
        site.write("photo.png", Noise(2048));
        site.write("photo.png.gz", "gzip of a photo");
    }
    Site site;
    // Every status checked anew: tests change files at once.
    KoFileCache cache{16, std::chrono::milliseconds(0)};
};

}  // namespace

TEST_F(FileEncoding, TheVariantFollowsTheClientAndWhatTheFileHas) {
    enum class From { sibling, compressed, file, nothing };
    struct Case {
        const char* what;
        const char* file;
        const char* method;
        std::string fields;
        int status;
        const char* coding;  // "" for identity
        From from;
        bool varies;
    };
    const std::string brTag = TagOf(cache, site.path + "app.js.br", "br");
    const std::string plainTag = TagOf(cache, site.path + "app.js");
    const Case cases[] = {
        {"br preferred at equal weight", "app.js", "GET", "Accept-Encoding: gzip, br\r\n", 200, "br", From::sibling, true},
        {"weights: gzip over br, its sibling older", "app.js", "GET", "Accept-Encoding: gzip;q=1, br;q=0.5\r\n", 200,
         "gzip", From::compressed, true},
        {"br refused", "app.js", "GET", "Accept-Encoding: br;q=0, gzip\r\n", 200, "gzip", From::compressed, true},
        {"both refused", "app.js", "GET", "Accept-Encoding: br;q=0, gzip;q=0\r\n", 200, "", From::file, true},
        {"no Accept-Encoding", "app.js", "GET", "", 200, "", From::file, true},
        {"Range: the file as it is", "app.js", "GET", "Accept-Encoding: br\r\nRange: bytes=0-9\r\n", 206, "",
         From::file, true},
        {"HEAD as GET", "app.js", "HEAD", "Accept-Encoding: br\r\n", 200, "br", From::sibling, true},
        {"several field lines", "app.js", "GET", "Accept-Encoding: br;q=0\r\nAccept-Encoding: gzip\r\n", 200, "gzip",
         From::compressed, true},
        {"no sibling: compressed", "plain.js", "GET", "Accept-Encoding: *\r\n", 200, "br", From::compressed, true},
        {"HEAD of compressed bytes", "plain.js", "HEAD", "Accept-Encoding: gzip\r\n", 200, "gzip", From::compressed,
         true},
        {"too small to compress", "tiny.js", "GET", "Accept-Encoding: br\r\n", 200, "", From::file, true},
        {"does not shrink", "random.js", "GET", "Accept-Encoding: br, gzip\r\n", 200, "", From::file, true},
        {"sibling of an image", "photo.png", "GET", "Accept-Encoding: gzip\r\n", 200, "gzip", From::sibling, true},
        {"image without that sibling", "photo.png", "GET", "Accept-Encoding: br\r\n", 200, "", From::file, true},
        {"a sibling by its own name", "photo.png.gz", "GET", "Accept-Encoding: gzip\r\n", 200, "", From::file, false},
        {"If-None-Match of the br tag", "app.js", "GET", "Accept-Encoding: br\r\nIf-None-Match: " + brTag + "\r\n",
         304, "", From::nothing, true},
        {"the br tag does not match gzip", "app.js", "GET",
         "Accept-Encoding: gzip\r\nIf-None-Match: " + brTag + "\r\n", 200, "gzip", From::compressed, true},
        {"the plain tag does not match br", "app.js", "GET",
         "Accept-Encoding: br\r\nIf-None-Match: " + plainTag + "\r\n", 200, "br", From::sibling, true},
        {"the plain tag matches identity", "app.js", "GET", "If-None-Match: " + plainTag + "\r\n", 304, "",
         From::nothing, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = site.path + c.file;
        const Prepared p = Prepare(cache, file, c.method, c.fields);
        EXPECT_EQ(p.response->statusCode, c.status);
        EXPECT_EQ(p.Field("content-encoding"), *c.coding ? c.coding : "<none>");
        EXPECT_EQ(p.Field("vary"), c.varies ? "Accept-Encoding" : "<none>");
        // Ranges are offered of the file as it is only.
        if (c.status != 304) {
            EXPECT_EQ(p.Field("accept-ranges"), *c.coding ? "<none>" : "bytes");
        }
        const std::string body = p.Sent();
        switch (c.from) {
        case From::sibling:
            EXPECT_EQ(p.body.file, file + (std::string(c.coding) == "br" ? ".br" : ".gz"));
            EXPECT_EQ(p.body.size, FactsOf(cache, p.body.file).size);
            EXPECT_EQ(p.Field("etag"), TagOf(cache, p.body.file, c.coding));
            break;
        case From::compressed:
            EXPECT_TRUE(p.body.file.empty());
            EXPECT_GT(body.size(), 0u);
            EXPECT_LT(body.size(), FactsOf(cache, file).size);
            EXPECT_EQ(p.Field("etag"), TagOf(cache, file, c.coding));
            break;
        case From::file:
            EXPECT_EQ(p.body.file, file);
            EXPECT_TRUE(body.empty());
            EXPECT_EQ(p.Field("etag"), TagOf(cache, file));
            break;
        case From::nothing:
            EXPECT_TRUE(p.body.file.empty());
            EXPECT_TRUE(body.empty());
            EXPECT_EQ(p.Field("etag"), std::string(c.what).find("br tag") != std::string::npos ? brTag : plainTag);
            break;
        }
    }
}

TEST_F(FileEncoding, TurnedOffNothingIsEncodedNorVaries) {
    KoStaticCompression off;
    off.enabled = false;
    for (const char* file : {"app.js", "plain.js"}) {
        const Prepared p = Prepare(cache, site.path + file, "GET", "Accept-Encoding: br, gzip\r\n", off);
        EXPECT_EQ(p.body.file, site.path + file);
        EXPECT_EQ(p.Field("content-encoding"), "<none>");
        EXPECT_EQ(p.Field("vary"), "<none>");
    }
    EXPECT_EQ(cache.compressions(), 0u);
}

TEST_F(FileEncoding, NoSiblingIsSentFromTheCgiDirectory) {
    const Prepared p = Prepare(cache, site.path + "app.js", "GET", "Accept-Encoding: br\r\n", {}, {false, &site.path});
    EXPECT_TRUE(p.body.file.empty());
    EXPECT_EQ(p.Field("content-encoding"), "br");
    EXPECT_LT(p.Sent().size(), FactsOf(cache, site.path + "app.js").size);
    EXPECT_EQ(cache.compressions(), 1u);
}

TEST_F(FileEncoding, AFileIsCompressedOncePerVersionAndCoding) {
    const std::string file = site.path + "plain.js";
    const auto answer = [&](const char* coding) {
        return Prepare(cache, file, "GET", std::string("Accept-Encoding: ") + coding + "\r\n").Sent();
    };
    const std::string first = answer("br");
    EXPECT_EQ(answer("br"), first);
    EXPECT_EQ(Prepare(cache, file, "HEAD", "Accept-Encoding: br\r\n").Sent(), first);
    EXPECT_EQ(cache.compressions(), 1u);
    answer("gzip");
    answer("gzip");
    EXPECT_EQ(cache.compressions(), 2u);
    // An answer in flight keeps the bytes it was given.
    const KoFileCache::Encoded held = cache.encoded(file, KoContentCoding::brotli, KoStaticCompression{}.budget);
    ASSERT_TRUE(held.bytes);
    EXPECT_EQ(*held.bytes, first);
    // Answers share the cache's bytes; none holds a copy of its own.
    const Prepared shared = Prepare(cache, file, "GET", "Accept-Encoding: br\r\n");
    ASSERT_TRUE(shared.response->bodyOpenFile);
    EXPECT_EQ(shared.response->bodyOpenFile->content, held.bytes);
    EXPECT_EQ(shared.response->BodySize(), 0u);
    EXPECT_EQ(cache.compressions(), 2u);

    site.write("plain.js", Script(120));
    const std::string changed = answer("br");
    EXPECT_NE(changed, first);
    EXPECT_EQ(answer("br"), changed);
    EXPECT_EQ(cache.compressions(), 3u);
    EXPECT_EQ(*held.bytes, first);
    // A file that does not shrink is tried once too.
    answer("br");
    Prepare(cache, site.path + "random.js", "GET", "Accept-Encoding: br\r\n");
    Prepare(cache, site.path + "random.js", "GET", "Accept-Encoding: br\r\n");
    EXPECT_EQ(cache.compressions(), 4u);
}

TEST_F(FileEncoding, CompressedBytesStayWithinTheBudget) {
    const std::string app = site.path + "app.js", plain = site.path + "plain.js";
    const auto one = cache.encoded(app, KoContentCoding::gzip, 1u << 20);
    ASSERT_TRUE(one.bytes);
    const std::size_t budget = one.bytes->size() + one.bytes->size() / 2;
    // The second does not fit beside the first, which goes: it was used longer ago.
    const auto two = cache.encoded(plain, KoContentCoding::gzip, budget);
    ASSERT_TRUE(two.bytes);
    EXPECT_EQ(cache.encodedBytes(), two.bytes->size());
    // More than the whole budget is not kept and not sent compressed.
    EXPECT_FALSE(cache.encoded(app, KoContentCoding::brotli, 10).bytes);
    EXPECT_EQ(cache.encodedBytes(), two.bytes->size());
}

// Siblings are probed with the file's own check, not per answer: a change
// of one is seen exactly when a change of the file would be - at once by an
// answer that checks now, and never per answer in between.
TEST_F(FileEncoding, ASiblingChangedAfterTheFirstAnswerIsSeenWithTheFilesOwnCheck) {
    struct Case {
        const char* what;
        const char* file;
        std::function<void(const Site&)> change;
        bool siblingBefore;
        bool siblingAfter;
    };
    const Case cases[] = {
        {"added", "plain.js", [](const Site& s) { s.write("plain.js.br", "new brotli sibling"); }, false, true},
        {"removed", "app.js", [](const Site& s) { std::filesystem::remove(s.path + "app.js.br"); }, true, false},
        {"made older", "app.js", [](const Site& s) { s.age("app.js.br", -100); }, true, false},
        {"rewritten", "app.js", [](const Site& s) { s.write("app.js.br", "another brotli sibling, longer"); }, true,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        KoFileCache kept{16, std::chrono::hours(1)};
        const std::string file = site.path + c.file;
        const auto answer = [&](bool checkNow) {
            return Prepare(kept, file, "GET", "Accept-Encoding: br\r\n", {}, {checkNow, nullptr});
        };
        const Prepared before = answer(false);
        EXPECT_EQ(answer(false).body.file, before.body.file);
        EXPECT_EQ(kept.siblingProbes(), 1u);
        EXPECT_EQ(before.body.file, c.siblingBefore ? file + ".br" : "");

        c.change(site);
        const Prepared after = answer(true);
        EXPECT_EQ(kept.siblingProbes(), 2u);
        EXPECT_EQ(after.Field("content-encoding"), "br");
        if (c.siblingAfter) {
            ASSERT_EQ(after.body.file, file + ".br");
            EXPECT_EQ(after.body.size, FactsOf(kept, after.body.file).size);
            EXPECT_EQ(after.Field("etag"), TagOf(kept, after.body.file, "br"));
            if (c.siblingBefore) {
                EXPECT_NE(after.Field("etag"), before.Field("etag"));
            }
        } else {
            EXPECT_TRUE(after.body.file.empty());  // compressed by the server instead
            EXPECT_EQ(after.Field("etag"), TagOf(kept, file, "br"));
        }
        // A cache that checks every time sees it on the next answer too.
        EXPECT_EQ(Prepare(cache, file, "GET", "Accept-Encoding: br\r\n").body.file, after.body.file);
    }
}

// A changed file is another version: its answer carries new validators.
TEST_F(FileEncoding, AChangedFileGetsNewValidators) {
    const std::string file = site.path + "tiny.js";
    const Prepared first = Prepare(cache, file, "GET", "");
    EXPECT_EQ(Prepare(cache, file, "GET", "").Field("etag"), first.Field("etag"));
    site.write("tiny.js", "var a = 2; var b = 3;");
    site.age("tiny.js", -3600);
    const Prepared changed = Prepare(cache, file, "GET", "");
    EXPECT_NE(changed.Field("etag"), first.Field("etag"));
    EXPECT_EQ(changed.Field("etag"), TagOf(cache, file));
    EXPECT_NE(changed.Field("last-modified"), first.Field("last-modified"));
    EXPECT_EQ(changed.body.size, 21u);
}
