// What a static file is answered with: methods, validators, preconditions
// and ranges, decided from the request and the file's status alone.
#include "server/files/file_answer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "message/response_header.h"
#include "server/http/entity_tag.h"
#include "server/http/http_answer.h"
#include "server/http/http_date.h"

namespace {

constexpr std::int64_t kModified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr const char* kModifiedText = "Sun, 06 Nov 1994 08:49:37 GMT";

std::unique_ptr<KoXHeader> Request(const std::string& method, const std::string& fields = "") {
    auto request = std::make_unique<KoXHeader>(0, false, 3);
    request->AppendInput(method + " /f.css HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n");
    request->ConsumeHeader([](KoXHeader&) { return true; });
    return request;
}

const KoFileFacts kFacts{"text/css", 1000, kModified, 5, 77};
const std::string kTag = KoEntityTagOf(77, 1000, kModified, 5);

struct Answer {
    bool sendsFile = false;
    std::shared_ptr<KoXResponseHeader> response;

    std::string Field(const std::string& name) const { return response->FirstValue(name, "<none>"); }
    std::int32_t Status() const { return response->statusCode; }
};

Answer Prepare(const std::string& method, const std::string& fields = "", KoFileAnswerOptions options = {}) {
    if (options.now == 0) options.now = kModified + 1000;
    if (options.boundary.empty()) options.boundary = "B";
    auto request = Request(method, fields);
    Answer answer;
    answer.response = request->MakeAnswer();
    answer.sendsFile = KoPrepareFileAnswer(*request, kFacts, options, *answer.response);
    return answer;
}

TEST(KoPrepareFileAnswer, WholeFileWithValidators) {
    for (const char* method : {"GET", "HEAD"}) {
        const Answer a = Prepare(method);
        EXPECT_TRUE(a.sendsFile);
        EXPECT_EQ(a.Status(), 200);
        EXPECT_EQ(a.Field("content-type"), "text/css");
        EXPECT_EQ(a.Field("last-modified"), kModifiedText);
        EXPECT_EQ(a.Field("etag"), kTag);
        EXPECT_EQ(a.Field("accept-ranges"), "bytes");
        EXPECT_EQ(a.Field("cache-control"), "<none>");
        EXPECT_TRUE(a.response->bodySpans.empty());
        EXPECT_EQ(a.response->FileBodyLength(), 0u);  // the router sets bodyFileSize
    }
}

TEST(KoPrepareFileAnswer, CacheControlOnlyWhenSet) {
    KoFileAnswerOptions options;
    options.cacheControl = "no-cache";
    EXPECT_EQ(Prepare("GET", "", options).Field("cache-control"), "no-cache");
    const Answer notModified = Prepare("GET", "If-None-Match: " + kTag + "\r\n", options);
    EXPECT_EQ(notModified.Field("cache-control"), "no-cache");
}

// A file whose clock runs ahead of the server's is announced as modified
// now, never in the future.
TEST(KoPrepareFileAnswer, ModifiedNeverLaterThanNow) {
    KoFileAnswerOptions options;
    options.now = kModified - 60;
    EXPECT_EQ(Prepare("GET", "", options).Field("last-modified"), KoHttpDate(kModified - 60));
}

// The validators are made once per version and kept: every version must
// still get its own, whichever part of its identity differs, also after
// many others took the places they were kept in, and a date still to come
// follows now.
TEST(KoPrepareFileAnswer, EachVersionKeepsItsOwnValidators) {
    struct Version {
        KoFileFacts facts;
        std::int64_t now;
    };
    std::vector<Version> versions;
    for (std::uint64_t i = 0; i < 100; ++i) {
        const std::int64_t step = static_cast<std::int64_t>(i);
        versions.push_back({{"text/css", 1000, kModified, 5, 77 + i}, kModified + 1000});  // another file
        versions.push_back({{"text/css", 1000 + i, kModified, 5, 77}, kModified + 1000});  // another size
        versions.push_back({{"text/css", 1000, kModified + step, 5, 77}, kModified + 1000});
        versions.push_back({{"text/css", 1000, kModified, 5 + step, 77}, kModified + 1000});
        versions.push_back({{"text/css", 1000, kModified, 5, 77}, kModified - step});  // modified "later than now"
    }
    for (int round = 0; round < 2; ++round) {
        for (const Version& version : versions) {
            auto request = Request("GET");
            auto response = request->MakeAnswer();
            KoFileAnswerOptions options;
            options.now = version.now;
            KoPrepareFileAnswer(*request, version.facts, options, *response);
            const KoFileFacts& f = version.facts;
            ASSERT_EQ(response->FirstValue("etag", ""),
                      KoEntityTagOf(f.fileId, f.size, f.modifiedSeconds, f.modifiedNanoseconds));
            ASSERT_EQ(response->FirstValue("last-modified", ""), KoHttpDate(std::min(f.modifiedSeconds, version.now)));
        }
    }
}

// An encoded answer's tag and type are kept per version too: each coding
// of each version gets the file's tag with its own name, a changed file a
// new one, and the type is the one of the file asked for now.
TEST(KoPrepareFileAnswer, EncodedTagsAndTypeFollowTheVersion) {
    const struct {
        KoFileFacts facts;
        KoContentCoding coding;
        const char* suffix;  // before the tag's closing quote
    } table[] = {
        {{"text/css", 1000, kModified, 5, 77}, KoContentCoding::identity, ""},
        {{"text/css", 1000, kModified, 5, 77}, KoContentCoding::gzip, "-gzip"},
        {{"text/css", 1000, kModified, 5, 77}, KoContentCoding::brotli, "-br"},
        {{"text/css", 1000, kModified, 5, 77}, KoContentCoding::gzip, "-gzip"},
        {{"text/javascript", 1000, kModified, 5, 77}, KoContentCoding::gzip, "-gzip"},  // another type, same bytes
        {{"text/css", 1001, kModified, 5, 77}, KoContentCoding::gzip, "-gzip"},  // rewritten: another size
        {{"text/css", 1001, kModified, 5, 77}, KoContentCoding::identity, ""},
        {{"text/css", 1001, kModified + 1, 5, 77}, KoContentCoding::brotli, "-br"},  // rewritten again
        {{"text/css", 1000, kModified, 5, 77}, KoContentCoding::brotli, "-br"},  // the first version again
    };
    for (const auto& row : table) {
        auto request = Request("GET");
        auto response = request->MakeAnswer();
        KoFileAnswerOptions options;
        options.now = kModified + 1000;
        options.coding = row.coding;
        ASSERT_TRUE(KoPrepareFileAnswer(*request, row.facts, options, *response));
        const KoFileFacts& f = row.facts;
        std::string tag = KoEntityTagOf(f.fileId, f.size, f.modifiedSeconds, f.modifiedNanoseconds);
        tag.insert(tag.size() - 1, row.suffix);
        EXPECT_EQ(response->FirstValue("etag", ""), tag) << f.type << " " << f.size << row.suffix;
        EXPECT_EQ(response->FirstValue("content-type", ""), f.type) << f.size << row.suffix;
        EXPECT_EQ(response->FirstValue("content-encoding", "<none>"),
                  row.coding == KoContentCoding::identity ? "<none>" : std::string(KoCodingName(row.coding)));
        EXPECT_EQ(response->FirstValue("last-modified", ""), KoHttpDate(f.modifiedSeconds));
    }
}

TEST(KoPrepareFileAnswer, MethodsOtherThanGetAndHead) {
    const Answer options = Prepare("OPTIONS");
    EXPECT_FALSE(options.sendsFile);
    EXPECT_EQ(options.Status(), 204);
    EXPECT_EQ(options.Field("allow"), "GET, HEAD, OPTIONS");
    EXPECT_EQ(options.response->BodySize(), 0u);
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "TRACE"}) {
        const Answer refused = Prepare(method);
        EXPECT_FALSE(refused.sendsFile) << method;
        EXPECT_EQ(refused.Status(), 405) << method;
        EXPECT_EQ(refused.Field("allow"), "GET, HEAD, OPTIONS") << method;
        EXPECT_EQ(refused.Field("etag"), "<none>") << method;
        EXPECT_EQ(refused.response->Body(), "405 Method Not Allowed\n") << method;
    }
}

TEST(KoPrepareFileAnswer, Preconditions) {
    const std::string later = KoHttpDate(kModified + 10);
    const std::string earlier = KoHttpDate(kModified - 10);
    const struct {
        std::string name;
        std::string fields;
        std::int32_t status;
    } table[] = {
        {"none", "", 200},
        {"If-None-Match same", "If-None-Match: " + kTag + "\r\n", 304},
        {"If-None-Match weak same", "If-None-Match: W/" + kTag + "\r\n", 304},
        {"If-None-Match in a list", "If-None-Match: \"x\", " + kTag + "\r\n", 304},
        {"If-None-Match star", "If-None-Match: *\r\n", 304},
        {"If-None-Match other", "If-None-Match: \"x\"\r\n", 200},
        {"If-Modified-Since same", "If-Modified-Since: " + std::string(kModifiedText) + "\r\n", 304},
        {"If-Modified-Since later", "If-Modified-Since: " + later + "\r\n", 304},
        {"If-Modified-Since earlier", "If-Modified-Since: " + earlier + "\r\n", 200},
        {"If-Modified-Since not a date", "If-Modified-Since: yesterday\r\n", 200},
        // A date in the future was taken as a copy as new as the file (304).
        {"If-Modified-Since in the future", "If-Modified-Since: " + KoHttpDate(kModified + 5000) + "\r\n", 200},
        {"If-Modified-Since in 9999", "If-Modified-Since: Fri, 31 Dec 9999 23:59:59 GMT\r\n", 200},
        // If-None-Match wins over If-Modified-Since, either way.
        {"tag differs, date same", "If-None-Match: \"x\"\r\nIf-Modified-Since: " + std::string(kModifiedText) + "\r\n",
         200},
        {"tag same, date earlier", "If-None-Match: " + kTag + "\r\nIf-Modified-Since: " + earlier + "\r\n", 304},
        {"If-Match same", "If-Match: " + kTag + "\r\n", 200},
        {"If-Match star", "If-Match: *\r\n", 200},
        {"If-Match weak", "If-Match: W/" + kTag + "\r\n", 412},
        {"If-Match other", "If-Match: \"x\"\r\n", 412},
        {"If-Unmodified-Since same", "If-Unmodified-Since: " + std::string(kModifiedText) + "\r\n", 200},
        {"If-Unmodified-Since earlier", "If-Unmodified-Since: " + earlier + "\r\n", 412},
        {"If-Unmodified-Since not a date", "If-Unmodified-Since: x\r\n", 200},
        // If-Match is judged before If-Unmodified-Since, which it replaces.
        {"If-Match same, unmodified earlier", "If-Match: " + kTag + "\r\nIf-Unmodified-Since: " + earlier + "\r\n", 200},
        // Failed preconditions come before a match of If-None-Match.
        {"If-Match other, none-match same", "If-Match: \"x\"\r\nIf-None-Match: " + kTag + "\r\n", 412},
    };
    for (const auto& row : table) {
        const Answer a = Prepare("GET", row.fields);
        EXPECT_EQ(a.Status(), row.status) << row.name;
        EXPECT_EQ(a.sendsFile, row.status == 200) << row.name;
        if (row.status == 304) {
            EXPECT_EQ(a.Field("etag"), kTag) << row.name;
            EXPECT_EQ(a.Field("last-modified"), kModifiedText) << row.name;
            EXPECT_EQ(a.Field("content-type"), "<none>") << row.name;
            EXPECT_FALSE(a.response->SendsBody()) << row.name;
        }
    }
    EXPECT_EQ(Prepare("HEAD", "If-None-Match: " + kTag + "\r\n").Status(), 304);
}

TEST(KoPrepareFileAnswer, OneRange) {
    for (const char* method : {"GET", "HEAD"}) {
        const Answer a = Prepare(method, "Range: bytes=100-199\r\n");
        EXPECT_TRUE(a.sendsFile);
        EXPECT_EQ(a.Status(), 206);
        EXPECT_EQ(a.Field("content-range"), "bytes 100-199/1000");
        EXPECT_EQ(a.Field("content-type"), "text/css");
        ASSERT_EQ(a.response->bodySpans.size(), 1u);
        EXPECT_EQ(a.response->bodySpans[0].offset, 100u);
        EXPECT_EQ(a.response->bodySpans[0].length, 100u);
        EXPECT_EQ(a.response->bodySpans[0].before, "");
        EXPECT_EQ(a.response->FileBodyLength(), 100u);
    }
    const Answer last = Prepare("GET", "Range: bytes=-1\r\n");
    EXPECT_EQ(last.Field("content-range"), "bytes 999-999/1000");
}

TEST(KoPrepareFileAnswer, SeveralRangesAreMultipart) {
    const Answer a = Prepare("GET", "Range: bytes=900-,0-9\r\n");
    EXPECT_EQ(a.Status(), 206);
    EXPECT_EQ(a.Field("content-type"), "multipart/byteranges; boundary=B");
    EXPECT_EQ(a.Field("content-range"), "<none>");
    ASSERT_EQ(a.response->bodySpans.size(), 2u);
    EXPECT_EQ(a.response->bodySpans[0].before,
              "--B\r\nContent-Type: text/css\r\nContent-Range: bytes 0-9/1000\r\n\r\n");
    EXPECT_EQ(a.response->bodySpans[0].offset, 0u);
    EXPECT_EQ(a.response->bodySpans[0].length, 10u);
    EXPECT_EQ(a.response->bodySpans[1].before,
              "\r\n--B\r\nContent-Type: text/css\r\nContent-Range: bytes 900-999/1000\r\n\r\n");
    EXPECT_EQ(a.response->bodySpans[1].offset, 900u);
    EXPECT_EQ(a.response->bodySpans[1].length, 100u);
    EXPECT_EQ(a.response->bodyAfter, "\r\n--B--\r\n");
    EXPECT_EQ(a.response->FileBodyLength(), a.response->bodySpans[0].before.size() + 10 +
                                                a.response->bodySpans[1].before.size() + 100 + 9);
    // Without a boundary given, a fresh one.
    KoFileAnswerOptions fresh;
    fresh.now = kModified;
    auto request = Request("GET", "Range: bytes=0-0,5-5\r\n");
    auto response = request->MakeAnswer();
    ASSERT_TRUE(KoPrepareFileAnswer(*request, kFacts, fresh, *response));
    const std::string type = response->FirstValue("content-type");
    EXPECT_EQ(type.rfind("multipart/byteranges; boundary=velko-", 0), 0u) << type;
    EXPECT_GT(type.size(), std::string("multipart/byteranges; boundary=velko-").size() + 16);
}

TEST(KoPrepareFileAnswer, UnsatisfiableAndIgnoredRanges) {
    const Answer beyond = Prepare("GET", "Range: bytes=1000-\r\n");
    EXPECT_FALSE(beyond.sendsFile);
    EXPECT_EQ(beyond.Status(), 416);
    EXPECT_EQ(beyond.Field("content-range"), "bytes */1000");
    EXPECT_EQ(beyond.response->Body(), "416 Range Not Satisfiable\n");

    for (const char* range : {"Range: bytes=9-0\r\n", "Range: lines=1-2\r\n", "Range: bytes=0-1\r\nRange: bytes=3-4\r\n"}) {
        const Answer whole = Prepare("GET", range);
        EXPECT_EQ(whole.Status(), 200) << range;
        EXPECT_TRUE(whole.response->bodySpans.empty()) << range;
    }
    // Ranges are for GET and HEAD only; other methods never get that far.
    EXPECT_EQ(Prepare("POST", "Range: bytes=0-1\r\n").Status(), 405);
}

TEST(KoPrepareFileAnswer, IfRangeTable) {
    const struct {
        std::string ifRange;
        std::int32_t status;
    } table[] = {
        {kTag, 206},
        {"W/" + kTag, 200},
        {"\"other\"", 200},
        {kModifiedText, 206},
        {KoHttpDate(kModified + 1), 200},
        {KoHttpDate(kModified - 1), 200},
        {"not a date", 200},
        {kTag + ", " + kTag, 200},
    };
    for (const auto& row : table) {
        const Answer a = Prepare("GET", "Range: bytes=0-9\r\nIf-Range: " + row.ifRange + "\r\n");
        EXPECT_EQ(a.Status(), row.status) << row.ifRange;
        EXPECT_TRUE(a.sendsFile) << row.ifRange;
    }
    // A date equal to Last-Modified was taken as the version the client
    // holds although the file was written within the answer's own second
    // (twice, perhaps): such a date is no strong validator; a tag still is.
    KoFileAnswerOptions sameSecond;
    sameSecond.now = kModified;
    const std::string dated = "Range: bytes=0-9\r\nIf-Range: " + std::string(kModifiedText) + "\r\n";
    EXPECT_EQ(Prepare("GET", dated, sameSecond).Status(), 200);
    EXPECT_EQ(Prepare("GET", "Range: bytes=0-9\r\nIf-Range: " + kTag + "\r\n", sameSecond).Status(), 206);
    // A failed If-Range gives the whole file even where the range could
    // not be satisfied.
    EXPECT_EQ(Prepare("GET", "Range: bytes=5000-\r\nIf-Range: \"other\"\r\n").Status(), 200);
}

}  // namespace

// A caller that found no precondition field says so, and the answer it gets
// is the one a look for them would have given.
TEST(KoPrepareFileAnswer, NoPreconditionsToLookForGivesTheSameAnswers) {
    const char* const requests[][2] = {
        {"GET", ""},
        {"HEAD", ""},
        {"GET", "Range: bytes=0-9\r\n"},
        {"GET", "Range: bytes=0-9,20-29\r\n"},
        {"GET", "Range: bytes=5000-\r\n"},
        {"OPTIONS", ""},
    };
    for (const auto& [method, fields] : requests) {
        SCOPED_TRACE(std::string(method) + " " + fields);
        KoFileAnswerOptions skipping;
        skipping.mayHavePreconditions = false;
        const Answer looked = Prepare(method, fields);
        const Answer skipped = Prepare(method, fields, skipping);
        EXPECT_EQ(skipped.sendsFile, looked.sendsFile);
        EXPECT_EQ(skipped.Status(), looked.Status());
        EXPECT_EQ(skipped.response->fields, looked.response->fields);
        EXPECT_EQ(skipped.response->FileBodyLength(), looked.response->FileBodyLength());
    }
}

// Given the site's fields, a whole file's 200 names its own in one list
// before them, made once per version; every answer's head is the same as
// from fields set one by one with the site's as defaults.
TEST(KoPrepareFileAnswer, PreparedFieldsWriteTheSameHeadTable) {
    using Defaults = KoXResponseHeader::DefaultFields;
    const auto site = std::make_shared<const Defaults>(
        Defaults{{"x-frame-options", "DENY"}, {"referrer-policy", "no-referrer"}, {"server", "site"}});
    const struct {
        const char* method;
        std::string fields;
        const char* cacheControl;
        KoContentCoding coding;
        bool varies;
        bool prepared;  // answered from the one list
    } table[] = {
        {"GET", "", "", KoContentCoding::identity, false, true},
        {"HEAD", "", "no-cache", KoContentCoding::identity, true, true},
        {"GET", "", "", KoContentCoding::gzip, true, true},
        {"GET", "Range: bytes=0-9\r\n", "", KoContentCoding::gzip, true, true},
        {"GET", "Range: bytes=0-9\r\n", "", KoContentCoding::identity, false, false},
        {"GET", "Range: bytes=0-9,20-29\r\n", "", KoContentCoding::identity, false, false},
        {"GET", "Range: bytes=5000-\r\n", "", KoContentCoding::identity, false, false},
        {"GET", "Range: bytes=0-9\r\nIf-Range: \"other\"\r\n", "", KoContentCoding::identity, false, true},
        {"GET", std::string("If-Modified-Since: ") + kModifiedText + "\r\n", "", KoContentCoding::identity, true, false},
        {"GET", "If-Match: \"other\"\r\n", "", KoContentCoding::identity, false, false},
    };
    for (const auto& row : table) {
        const std::string what = std::string(row.method) + " " + row.fields;
        KoFileAnswerOptions options;
        options.cacheControl = row.cacheControl;
        options.coding = row.coding;
        options.varies = row.varies;
        const Answer byField = Prepare(row.method, row.fields, options);
        byField.response->defaultFields = site;
        options.siteFields = &site;
        const Answer first = Prepare(row.method, row.fields, options);
        const Answer again = Prepare(row.method, row.fields, options);
        if (!first.response->defaultFields) first.response->defaultFields = site;
        if (!again.response->defaultFields) again.response->defaultFields = site;
        EXPECT_EQ(first.sendsFile, byField.sendsFile) << what;
        EXPECT_EQ(first.Status(), byField.Status()) << what;
        EXPECT_EQ(first.response->bodySpans.size(), byField.response->bodySpans.size()) << what;
        const std::string head = KoAnswerHead(*byField.response, 1000, false, "D");
        EXPECT_EQ(KoAnswerHead(*first.response, 1000, false, "D"), head) << what;
        EXPECT_EQ(KoAnswerHead(*again.response, 1000, false, "D"), head) << what;
        EXPECT_EQ(first.response->fields.empty(), row.prepared) << what;
        EXPECT_EQ(first.response->defaultFields != site, row.prepared) << what;
        if (row.prepared) {
            EXPECT_EQ(again.response->defaultFields, first.response->defaultFields) << what;
        }
        for (const char* name : {"content-type", "etag", "last-modified", "accept-ranges", "content-encoding", "vary"}) {
            const std::string* value = KoAnswerFieldValue(*first.response, name);
            EXPECT_EQ(value ? *value : "<none>", byField.Field(name)) << what << name;
        }
    }
}
