// Whether an answer made on the fly goes out compressed: the decision over
// scheme, Accept-Encoding, type, size, range, an existing Content-Encoding
// and the settings; and a host answer's body compressed in place.
#include "server/http/answer_compression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "message/protocols.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"

namespace {

enum class Setting { defaults, off, scriptsOverTls, noBrotli };

KoAnswerCompression SettingsFor(Setting setting) {
    KoAnswerCompression settings;
    if (setting == Setting::off) settings.enabled = false;
    if (setting == Setting::scriptsOverTls) settings.scriptsOverTls = true;
    if (setting == Setting::noBrotli) settings.brotli = false;
    return settings;
}

std::string Gunzip(const std::string& data) {
    z_stream z{};
    inflateInit2(&z, 15 + 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[4096];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : "<not gzip>";
}

// A response to a request with these header lines, over HTTP or HTTPS.
std::shared_ptr<KoXResponseHeader> ResponseTo(const std::string& method, const std::string& fields,
                                              std::int32_t protocol) {
    auto request = std::make_shared<KoXHeader>(0, false, protocol);
    request->AppendInput(method + " /p HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n");
    request->ConsumeHeader([](KoXHeader&) { return true; });
    return request->MakeAnswer();
}

}  // namespace

TEST(AnswerCompression, TheDecisionWeighsSchemeClientTypeSizeAndSettings) {
    using C = KoContentCoding;
    struct Case {
        const char* what;
        Setting setting;
        bool overTls, safe;
        const char* accept;
        const char* type;
        bool range, sendsBody, encoded, noTransform, sizeKnown;
        std::size_t size;
        C coding;
        bool varies;
    };
    const Case cases[] = {
        {"html over http, both accepted: br", Setting::defaults, false, false, "gzip, br", "text/html; charset=utf-8",
         false, true, false, false, true, 5000, C::brotli, true},
        {"gzip preferred by weight", Setting::defaults, false, false, "br;q=0.5, gzip", "application/json", false, true,
         false, false, true, 5000, C::gzip, true},
        {"brotli not offered", Setting::noBrotli, false, false, "br", "text/css", false, true, false, false, true, 5000,
         C::identity, true},
        {"no Accept-Encoding", Setting::defaults, false, false, "", "text/plain", false, true, false, false, true, 5000,
         C::identity, true},
        {"an event stream is no compressible type", Setting::defaults, false, false, "gzip", "text/event-stream", false, true, false,
         false, false, 0, C::identity, false},
        {"a streamed text is compressed whatever its size", Setting::defaults, false, false, "gzip", "text/html", false,
         true, false, false, false, 0, C::gzip, true},
        {"smaller than the minimum", Setting::defaults, false, false, "gzip", "text/html", false, true, false, false,
         true, 1023, C::identity, true},
        {"exactly the minimum", Setting::defaults, false, false, "gzip", "text/html", false, true, false, false, true,
         1024, C::gzip, true},
        {"an image is left alone", Setting::defaults, false, false, "gzip", "image/png", false, true, false, false, true,
         5000, C::identity, false},
        {"no type at all", Setting::defaults, false, false, "gzip", "", false, true, false, false, true, 5000,
         C::identity, false},
        {"a range request", Setting::defaults, false, false, "gzip", "text/html", true, true, false, false, true, 5000,
         C::identity, true},
        {"HEAD", Setting::defaults, false, false, "gzip", "text/html", false, false, false, false, true, 5000,
         C::identity, true},
        {"already encoded", Setting::defaults, false, false, "gzip", "text/html", false, true, true, false, true, 5000,
         C::identity, false},
        {"no-transform", Setting::defaults, false, false, "gzip", "text/html", false, true, false, true, true, 5000,
         C::identity, false},
        {"turned off", Setting::off, false, false, "gzip", "text/html", false, true, false, false, true, 5000,
         C::identity, false},
        {"over TLS, not marked safe", Setting::defaults, true, false, "gzip", "text/html", false, true, false, false,
         true, 5000, C::identity, false},
        {"over TLS, marked safe", Setting::defaults, true, true, "gzip", "text/html", false, true, false, false, true,
         5000, C::gzip, true},
        {"over TLS, safe, but turned off", Setting::off, true, true, "gzip", "text/html", false, true, false, false,
         true, 5000, C::identity, false},
        {"gzip refused by q=0", Setting::defaults, false, false, "gzip;q=0", "text/html", false, true, false, false,
         true, 5000, C::identity, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KoAnswerFacts facts;
        facts.acceptEncoding = c.accept;
        facts.overTls = c.overTls;
        facts.safeOverTls = c.safe;
        facts.contentType = c.type;
        facts.range = c.range;
        facts.sendsBody = c.sendsBody;
        facts.encoded = c.encoded;
        facts.noTransform = c.noTransform;
        facts.sizeKnown = c.sizeKnown;
        facts.size = c.size;
        const KoAnswerCoding chosen = KoChooseAnswerCoding(facts, SettingsFor(c.setting));
        EXPECT_EQ(chosen.coding, c.coding);
        EXPECT_EQ(chosen.varies, c.varies);
    }
}

TEST(AnswerCompression, FactsAreReadFromTheRequestAndTheAnswersLines) {
    struct Case {
        const char* what;
        const char* method;
        const char* fields;
        std::int32_t protocol;
        std::vector<std::string> lines;  // as a script or host wrote them
        bool overTls, range, sendsBody, encoded, noTransform;
        const char* accept;
        const char* type;
    };
    const Case cases[] = {
        {"two Accept-Encoding lines", "GET", "Accept-Encoding: gzip\r\nAccept-Encoding: br\r\n", protocol::HTTP,
         {"Content-Type: text/html"}, false, false, true, false, false, "gzip,br,", "text/html"},
        // A HEAD is weighed as its GET.
        {"https, a range, HEAD", "HEAD", "Range: bytes=0-1\r\n", protocol::HTTPS, {"content-type:  text/css "}, true, true, true,
         false, false, "", "text/css"},
        {"the script's own coding and no-transform", "GET", "", protocol::HTTP,
         {"Content-Type: text/plain", "Content-Encoding: gzip", "Cache-Control: public, No-Transform"}, false, false,
         true, true, true, "", "text/plain"},
        {"identity is no coding", "GET", "", protocol::HTTP, {"Content-Encoding: identity"}, false, false, true, false, false, "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto response = ResponseTo(c.method, c.fields, c.protocol);
        response->fields[kCgiLinesField] = c.lines;
        std::string joined;
        const KoAnswerFacts facts = KoAnswerFactsOf(*response, joined);
        EXPECT_EQ(facts.overTls, c.overTls);
        EXPECT_EQ(facts.range, c.range);
        EXPECT_EQ(facts.sendsBody, c.sendsBody);
        EXPECT_EQ(facts.encoded, c.encoded);
        EXPECT_EQ(facts.noTransform, c.noTransform);
        EXPECT_EQ(facts.acceptEncoding, c.accept);
        EXPECT_EQ(facts.contentType, c.type);
    }
}

TEST(AnswerCompression, AWholeBodyIsCompressedInPlaceOnlyWhenItShrinks) {
    std::string page;
    for (int i = 0; i < 200; ++i) page += "<p>paragraph " + std::to_string(i) + "</p>\n";
    std::mt19937 random(7);
    std::string noise(4000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    struct Case {
        const char* what;
        const std::string* body;
        bool safe;
        std::int32_t protocol;
        const char* coding;  // Content-Encoding, "" for none
        const char* vary;
        const char* method = "GET";
    };
    const Case cases[] = {
        {"a page over http", &page, false, protocol::HTTP, "gzip", "Accept-Encoding"},
        {"a page over https, not marked", &page, false, protocol::HTTPS, "", "<none>"},
        {"a page over https, marked safe", &page, true, protocol::HTTPS, "gzip", "Accept-Encoding"},
        {"bytes that do not shrink", &noise, false, protocol::HTTP, "", "Accept-Encoding"},
        // Its head announces the GET's coding and length (it was identity).
        {"a HEAD, as its GET", &page, false, protocol::HTTP, "gzip", "Accept-Encoding", "HEAD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto response = ResponseTo(c.method, "Accept-Encoding: gzip\r\n", c.protocol);
        response->statusCode = 200;
        response->fields[kCgiLinesField] = {"Content-Type: text/html; charset=utf-8"};
        response->Input().sputn(c.body->data(), static_cast<std::streamsize>(c.body->size()));
        const KoContentCoding used = KoCompressAnswerBody(*response, KoAnswerCompression{}, c.safe);
        EXPECT_EQ(KoCodingName(used), c.coding);
        EXPECT_EQ(response->FirstValue("content-encoding"), c.coding);
        EXPECT_EQ(response->FirstValue("vary", "<none>"), c.vary);
        if (*c.coding != '\0') {
            EXPECT_LT(response->BodySize(), c.body->size());
            EXPECT_EQ(Gunzip(response->Body()), *c.body);
        } else {
            EXPECT_EQ(response->Body(), *c.body);
        }
    }
}
