#include "compress/compressor.h"

#include <brotli/decode.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

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
        if (status == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : "<" + std::to_string(status) + ">" + out;
}

std::string Unbrotli(const std::string& data) {
    std::vector<std::uint8_t> out(64 << 20);
    std::size_t size = out.size();
    const auto result = BrotliDecoderDecompress(data.size(), reinterpret_cast<const std::uint8_t*>(data.data()), &size,
                                                out.data());
    if (result != BROTLI_DECODER_RESULT_SUCCESS) return "<not brotli>";
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

std::string Decode(KoContentCoding coding, const std::string& data) {
    return coding == KoContentCoding::brotli ? Unbrotli(data) : Gunzip(data);
}

std::string Script() {
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "function f" + std::to_string(i) + "(a, b) { return a + b * " + std::to_string(i % 7) + "; }\n";
    return text;
}

}  // namespace

TEST(KoCompressor, BothCodingsGiveBackTheBytesWholeOrStreamed) {
    const std::string script = Script();
    std::string binary;
    for (int i = 0; i < 100000; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
    for (const KoContentCoding coding : {KoContentCoding::gzip, KoContentCoding::brotli}) {
        SCOPED_TRACE(std::string(KoCodingName(coding)));
        for (const std::string* body : std::vector<const std::string*>{&script, &binary}) {
            const std::string whole = KoCompress(coding, *body);
            EXPECT_EQ(Decode(coding, whole), *body);
            if (body == &script) {
                EXPECT_LT(whole.size() * 5, body->size());  // text shrinks well
            }
        }
        EXPECT_EQ(Decode(coding, KoCompress(coding, "")), "");

        // Streamed in uneven pieces with flushes between: what was flushed
        // is readable before the end, and the whole decodes to the input.
        auto compressor = KoCompressor::make(coding, 5);
        std::string out;
        std::size_t at = 0;
        for (std::size_t piece = 1; at < script.size(); piece = piece * 3 + 1) {
            const std::size_t take = std::min(piece, script.size() - at);
            compressor->write(std::string_view(script).substr(at, take), out);
            at += take;
            if (piece % 2 == 0) compressor->flush(out);
        }
        compressor->finish(out);
        EXPECT_EQ(Decode(coding, out), script);
    }
}

TEST(KoChooseCoding, ReadsWeightsAndPrefersBrotliOnATie) {
    struct Case {
        const char* accept;
        bool brotli, gzip;
        KoContentCoding chosen;
    };
    using C = KoContentCoding;
    const Case cases[] = {
        {"", true, true, C::identity},
        {"gzip, deflate, br", true, true, C::brotli},
        {"gzip, deflate, br", false, true, C::gzip},
        {"gzip, deflate, br", false, false, C::identity},
        {"gzip;q=1.0, br;q=0.5", true, true, C::gzip},
        {"br;q=0", true, true, C::identity},
        {"BR", true, true, C::brotli},
        {"x-gzip", true, true, C::gzip},
        {"*", true, true, C::brotli},
        {"*;q=0.1, br;q=0", true, true, C::gzip},
        {"gzip;q=0, *", true, true, C::brotli},
        {"identity", true, true, C::identity},
        {"deflate", true, true, C::identity},
        {"gzip;q=2", true, true, C::identity},     // a weight that cannot be: refused
        {"gzip;q=0.5x", true, true, C::identity},
        {"gzip ; q=0.001", true, true, C::gzip},
        {"gzip;q=0.000", true, true, C::identity},
        {" br , gzip ", true, true, C::brotli},
    };
    for (const Case& c : cases) EXPECT_EQ(KoChooseCoding(c.accept, c.brotli, c.gzip), c.chosen) << c.accept;
}

TEST(KoIsCompressibleType, TextTypesYesMediaNo) {
    for (const char* yes : {"text/html", "text/html; charset=utf-8", "text/css", "application/javascript",
                            "text/javascript", "application/json", "image/svg+xml", "text/plain", "Text/HTML"}) {
        EXPECT_TRUE(KoIsCompressibleType(yes)) << yes;
    }
    for (const char* no : {"image/png", "image/jpeg", "video/mp4", "application/gzip", "application/octet-stream",
                           "application/zip", "font/woff2", ""}) {
        EXPECT_FALSE(KoIsCompressibleType(no)) << no;
    }
}
