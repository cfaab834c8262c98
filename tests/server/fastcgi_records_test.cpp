// The FastCGI record writer and reader, and the reading of a responder's
// answer; every stream is also fed split at every byte offset and byte by
// byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/scripts/fastcgi_records.h"
#include "server/scripts/fastcgi_response.h"

namespace {

using Pieces = std::vector<std::string>;

std::string Record(std::uint8_t type, std::uint16_t id, const std::string& content, std::uint8_t padding = 0) {
    const char head[8] = {1, static_cast<char>(type), static_cast<char>(id >> 8), static_cast<char>(id & 0xff),
                          static_cast<char>(content.size() >> 8), static_cast<char>(content.size() & 0xff),
                          static_cast<char>(padding), 0};
    return std::string(head, 8) + content + std::string(padding, '\x7f');
}

std::string End(std::uint8_t protocolStatus = 0, std::size_t size = 8) {
    std::string body(size, '\0');
    body[3] = 7;  // application status 7
    if (size > 4) body[4] = static_cast<char>(protocolStatus);
    return Record(fastcgi::record::endRequest, 1, body);
}

// Every way of cutting a stream in pieces: whole, in two at each offset, byte by byte.
std::vector<Pieces> Splits(const std::string& bytes) {
    std::vector<Pieces> splits{{bytes}};
    for (std::size_t at = 0; at <= bytes.size(); ++at) splits.push_back({bytes.substr(0, at), bytes.substr(at)});
    Pieces single;
    for (char c : bytes) single.emplace_back(1, c);
    splits.push_back(single);
    return splits;
}

std::string Describe(const Pieces& pieces) { return "in " + std::to_string(pieces.size()) + " pieces, first " +
                                                    std::to_string(pieces.front().size()) + " bytes"; }

// The records of a stream, as "type/id/content;" ("!" on failure, "…" when cut).
std::string ReadAll(const Pieces& pieces) {
    KoFastCgiRecordReader reader;
    std::string seen;
    for (const std::string& piece : pieces) {
        std::size_t used = 0;
        for (;;) {
            const auto status = reader.next(piece, used);
            if (status == KoFastCgiRecordReader::Status::failed) return seen + "!";
            if (status == KoFastCgiRecordReader::Status::needMore) break;
            const KoFastCgiRecord& r = reader.Current();
            seen += std::to_string(r.type) + "/" + std::to_string(r.id) + "/" + r.content + ";";
        }
    }
    return reader.MidRecord() ? seen + "…" : seen;
}

// The pairs of one PARAMS record's content; "?" where a pair does not fit.
std::vector<std::string> Pairs(const std::string& content) {
    std::vector<std::string> entries;
    std::size_t at = 0;
    const auto length = [&]() -> std::size_t {
        const auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(content.at(i))); };
        if (byte(at) < 128) return byte(at++);
        const std::size_t n = (byte(at) & 0x7f) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        at += 4;
        return n;
    };
    while (at < content.size()) {
        const std::size_t name = length();
        const std::size_t value = length();
        if (at + name + value > content.size()) return {"?"};
        entries.push_back(content.substr(at, name) + "=" + content.substr(at + name, value));
        at += name + value;
    }
    return entries;
}

TEST(FastCgiWriter, RecordsAndTheirPadding) {
    std::string out;
    fastcgi::appendRecord(out, fastcgi::record::stdinStream, 0x0102, "abc");
    EXPECT_EQ(out, std::string("\1\5\1\2\0\3\5\0abc\0\0\0\0\0", 16));
    out.clear();
    fastcgi::appendBeginRequest(out, 1, true);
    EXPECT_EQ(out, std::string("\1\1\0\1\0\10\0\0\0\1\1\0\0\0\0\0", 16));
    out.clear();
    fastcgi::appendStream(out, fastcgi::record::stdinStream, 1, std::string(70000, 'x'));
    fastcgi::appendStream(out, fastcgi::record::stdinStream, 1, {});
    EXPECT_EQ(ReadAll({out}), "5/1/" + std::string(65535, 'x') + ";5/1/" + std::string(4465, 'x') + ";5/1/;");
}

TEST(FastCgiWriter, NameValueLengthsTakeOneByteBelow128ElseFour) {
    std::string out;
    fastcgi::appendNameValue(out, std::string(127, 'n'), std::string(128, 'v'));
    EXPECT_EQ(out.substr(0, 5), std::string("\x7f\x80\0\0\x80", 5));
    EXPECT_EQ(out.size(), 5u + 127 + 128);
    out.clear();
    fastcgi::appendNameValue(out, std::string(0x012345, 'n'), "");
    EXPECT_EQ(out.substr(0, 5), std::string("\x80\x01\x23\x45\0", 5));
}

TEST(FastCgiWriter, ParamsNeverSplitAPairBetweenRecords) {
    const std::vector<std::string> entries{"A=" + std::string(30000, 'a'), "B=" + std::string(30000, 'b'),
                                           "C=" + std::string(30000, 'c'), "NO_VALUE", "EMPTY="};
    std::string out;
    ASSERT_TRUE(fastcgi::appendParams(out, 1, entries));
    KoFastCgiRecordReader reader;
    std::size_t used = 0;
    std::vector<std::string> decoded;
    int records = 0;
    while (reader.next(out, used) == KoFastCgiRecordReader::Status::record) {
        ++records;
        for (const std::string& pair : Pairs(reader.Current().content)) decoded.push_back(pair);
    }
    EXPECT_EQ(records, 3);  // A and B, then C and the short ones, then the end
    EXPECT_EQ(decoded, (std::vector<std::string>{entries[0], entries[1], entries[2], "NO_VALUE=", "EMPTY="}));
    std::string refused = "kept";
    EXPECT_FALSE(fastcgi::appendParams(refused, 1, {"BIG=" + std::string(70000, 'x')}));
    EXPECT_EQ(refused, "kept");
}

TEST(FastCgiReader, SameRecordsAtEverySplit) {
    std::string pairs;
    fastcgi::appendNameValue(pairs, "SCRIPT_FILENAME", "/srv/a.php");
    fastcgi::appendNameValue(pairs, "QUERY_STRING", std::string(200, 'q'));
    std::string request;
    fastcgi::appendBeginRequest(request, 1, true);
    fastcgi::appendParams(request, 1, {"SCRIPT_FILENAME=/srv/a.php", "QUERY_STRING=" + std::string(200, 'q')});
    fastcgi::appendStream(request, fastcgi::record::stdinStream, 1, "body");
    fastcgi::appendStream(request, fastcgi::record::stdinStream, 1, {});
    struct Row {
        std::string bytes;
        std::string records;
    } rows[] = {
        {Record(6, 1, "out", 5) + Record(7, 1, "err") + Record(6, 1, "") + End(),
         "6/1/out;7/1/err;6/1/;3/1/" + End().substr(8) + ";"},
        {Record(6, 9, "", 255), "6/9/;"},
        {Record(6, 1, "abc", 3).substr(0, 9), "…"},
        {Record(6, 1, "abc", 3).substr(0, 13), "…"},
        {Record(6, 1, "a") + std::string("\2\6\0\1\0\0\0\0", 8), "6/1/a;!"},
        {request, "1/1/" + std::string("\0\1\1\0\0\0\0\0", 8) + ";4/1/" + pairs + ";4/1/;5/1/body;5/1/;"},
    };
    for (const Row& row : rows) {
        for (const Pieces& pieces : Splits(row.bytes)) EXPECT_EQ(ReadAll(pieces), row.records) << Describe(pieces);
    }
}

struct Answer {
    std::string status{};  // "more", "ended", "failed"
    std::string output{};
    std::string errors{};
    std::string failure{};
    bool trailing = false;
    bool operator==(const Answer&) const = default;
};

Answer Feed(const Pieces& pieces) {
    KoFastCgiResponse response(1);
    Answer answer;
    auto status = KoFastCgiResponse::Status::needMore;
    for (const std::string& piece : pieces) {
        status = response.feed(piece);
        answer.errors += response.TakeErrors();
    }
    answer.status = status == KoFastCgiResponse::Status::ended ? "ended"
                    : status == KoFastCgiResponse::Status::failed ? "failed" : "more";
    answer.output = response.Output();
    answer.failure = response.Failure();
    answer.trailing = response.Trailing();
    return answer;
}

TEST(FastCgiResponse, SameAnswerAtEverySplit) {
    const std::string out = Record(6, 1, "Status: 200\r\n\r\nhi", 6);
    const std::string done = Record(6, 1, "") + End();
    struct Row {
        std::string what;
        std::string bytes;
        Answer answer;
    } rows[] = {
        {"an answer", out + Record(7, 1, "warn") + Record(7, 1, "") + done, {"ended", "Status: 200\r\n\r\nhi", "warn"}},
        {"an end without the output's end", out + End(), {"ended", "Status: 200\r\n\r\nhi"}},
        {"bytes after the end", done + "x", {"ended", "", "", "", true}},
        {"a cut record", out + done.substr(0, 12), {"more", "Status: 200\r\n\r\nhi"}},
        {"another request id", Record(6, 2, "x"), {"failed", "", "", "a record for request 2"}},
        {"a management record", Record(10, 0, ""), {"failed", "", "", "a record for request 0"}},
        {"an unknown type", Record(99, 1, "x"), {"failed", "", "", "a record of type 99"}},
        {"a request record", Record(5, 1, ""), {"failed", "", "", "a record of type 5"}},
        {"output after its end", done.substr(0, 8) + Record(6, 1, "late"), {"failed", "", "", "output after its end"}},
        {"errors after their end", Record(7, 1, "") + Record(7, 1, "x"), {"failed", "", "", "error output after its end"}},
        {"an oversized end", End(0, 9), {"failed", "", "", "an end record of the wrong size"}},
        {"a short end", End(0, 4), {"failed", "", "", "an end record of the wrong size"}},
        {"an overloaded responder", End(2), {"failed", "", "", "the request refused (protocol status 2)"}},
        {"no record at all", "HTTP/1.1 200 OK\r\n\r\n", {"failed", "", "", "bytes that are no FastCGI record"}},
    };
    for (const Row& row : rows) {
        for (const Pieces& pieces : Splits(row.bytes)) {
            EXPECT_EQ(Feed(pieces), row.answer) << row.what << ", " << Describe(pieces);
        }
    }
    KoFastCgiResponse response(1);
    ASSERT_EQ(response.feed(done), KoFastCgiResponse::Status::ended);
    EXPECT_EQ(response.AppStatus(), 7u);
}

}  // namespace
