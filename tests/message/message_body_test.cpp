#include <gtest/gtest.h>

#include <string>

#include "message/http_tables.h"
#include "message/message_body.h"
#include "message/x_header.h"
#include "split_harness.h"

using split_harness::SameAtEverySplit;

namespace {

// A complete request parsed through ConsumeHeader, the body not yet.
std::unique_ptr<KoXHeader> Received(const std::string& message) {
    auto header = std::make_unique<KoXHeader>(0, false, protocol::HTTP);
    header->AppendInput(message);
    EXPECT_EQ(header->ConsumeHeader(split_harness::Admit()), consume_result::Complete);
    return header;
}

std::string Post(const std::string& type, const std::string& body) {
    return "POST /f HTTP/1.1\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Value(KoXHeader& header, const std::string& name) {
    const KoHTTPMessageBlock* block = header.Field(name);
    return block ? block->Text() : "<absent>";
}

const std::string kBinary("\x00\x01\xff\r\n--\r\nX\x7f", 11);

std::string Multipart() {
    return "preamble\r\n"
           "--AaB03x\r\n"
           "Content-Disposition: form-data; name=\"f\"; filename=\"a b.bin\"\r\n"
           "Content-Type: application/x-thing\r\n"
           "\r\n" + kBinary + "\r\n"
           "--AaB03x\r\n"
           "content-disposition : form-data; name=\"empty\"\r\n"
           "\r\n"
           "\r\n"
           "--AaB03x\r\n"
           "Content-Disposition: form-data; name=\"f\"\r\n"
           "bogus line\r\n"
           "\r\n"
           "second f with --AaB03x inside\r\n"
           "--AaB03x--\r\n"
           "epilogue";
}

}  // namespace

TEST(ParseBody, QueryParametersBecomeBlocks) {
    auto header = Received("GET /p?a=1&b&c=%41&d=x+y HTTP/1.1\r\n\r\n");
    // Only once something asks for the form.
    EXPECT_TRUE(header->blocks.empty());
    EXPECT_EQ(header->FormStatus(), 0);
    ASSERT_EQ(header->blocks.size(), 3u);
    EXPECT_EQ(Value(*header, "a"), "1");
    EXPECT_EQ(Value(*header, "b"), "<absent>");
    EXPECT_EQ(Value(*header, "c"), "A");
    EXPECT_EQ(Value(*header, "d"), "x+y");  // no form decoding in a query
    EXPECT_EQ(header->queryFieldsByName.size(), 3u);
    EXPECT_EQ(header->blocksByPosition.at("1"), header->Field("c"));
    EXPECT_TRUE(header->bodyFieldsByName.empty());
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    EXPECT_EQ(header->blocks.size(), 3u);
}

TEST(ParseBody, UrlencodedBodyIsFormDecoded) {
    auto header = Received(Post("application/x-www-form-urlencoded", "a=x+y%2Bz&skip&%41%3D=v"));
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    ASSERT_EQ(header->blocks.size(), 2u);
    EXPECT_EQ(Value(*header, "a"), "x y+z");
    EXPECT_EQ(Value(*header, "A="), "v");
    EXPECT_EQ(header->bodyFieldsByName.size(), 2u);
    EXPECT_TRUE(header->queryFieldsByName.empty());
    EXPECT_EQ(header->Body(), "a=x+y%2Bz&skip&%41%3D=v");  // the body stays
}

TEST(ParseBody, MultipartPartsKeepTheirBytes) {
    auto header = Received(Post("multipart/form-data; boundary=AaB03x", Multipart()));
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    ASSERT_EQ(header->blocks.size(), 3u);

    const KoHTTPMessageBlock& file = *header->blocks[0];
    EXPECT_EQ(file.Name(), "f");
    EXPECT_EQ(file.Text(), kBinary);
    EXPECT_EQ(file.attributes.at("mimetype"), "application/x-thing");
    EXPECT_EQ(file.partHeaders.at("content-disposition").front(),
              "form-data; name=\"f\"; filename=\"a b.bin\"");

    const KoHTTPMessageBlock& empty = *header->blocks[1];
    EXPECT_EQ(empty.Name(), "empty");
    EXPECT_EQ(empty.content, nullptr);
    EXPECT_EQ(empty.attributes.at("mimetype"), "application/octet-stream");

    // Duplicate names: both in the list, the later one in the index.
    EXPECT_EQ(header->Field("f"), header->blocks[2].get());
    EXPECT_EQ(header->bodyFieldsByName.at("f"), header->blocks[2].get());
    EXPECT_EQ(header->blocks[2]->Text(), "second f with --AaB03x inside");
    EXPECT_EQ(header->blocksByPosition.size(), 3u);
}

TEST(ParseBody, MultipartAtEverySplit) {
    EXPECT_TRUE(SameAtEverySplit(Post("multipart/form-data; boundary=AaB03x", Multipart())));
    EXPECT_TRUE(SameAtEverySplit(Post("Multipart/Form-Data; boundary=\"q\"",
                                      "--q\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n--q--")));
}

TEST(ParseBody, QuotedBoundaryAndCaseOfTheType) {
    auto header = Received(Post("Multipart/Form-Data; boundary=\"q\"",
                                "--q\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nv\r\n--q--"));
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    EXPECT_EQ(Value(*header, "n"), "v");
}

// Header values now keep their blanks; the body reader finds the type, the
// boundary and the field names in them however they are spaced or quoted.
TEST(ParseBody, TypeAndDispositionParametersReadAsSpaced) {
    const struct {
        std::string type;
        std::string boundary;
    } types[] = {
        {"multipart/form-data;boundary=q", "q"},
        {"multipart/form-data; boundary=q", "q"},
        {"MULTIPART/FORM-DATA ;\tcharset=utf-8 ;  boundary=q ; x=y", "q"},
        {"multipart/form-data; boundary=\"a b\"", "a b"},
        {"multipart/form-data; boundary=\"a\\\"b\"; charset=x", "a\"b"},
        {"multipart/form-data; flag; boundary=q", "q"},
    };
    for (const auto& row : types) {
        const std::string body = "--" + row.boundary + "\r\nContent-Disposition: form-data;name=\"one\"\r\n\r\n1\r\n"
                                  "--" + row.boundary + "\r\nContent-Disposition:  form-data ;  name=\"two words\" ;"
                                  " filename=\"x; y\"\r\n\r\n2\r\n--" + row.boundary + "--";
        auto header = Received(Post(row.type, body));
        EXPECT_EQ(ParseBody(*header), consume_result::Complete) << row.type;
        EXPECT_EQ(Value(*header, "one"), "1") << row.type;
        EXPECT_EQ(Value(*header, "two words"), "2") << row.type;
        EXPECT_TRUE(SameAtEverySplit(Post(row.type, body))) << row.type;
    }
    auto form = Received(Post("application/x-www-form-urlencoded ; charset=UTF-8", "a=1"));
    EXPECT_EQ(ParseBody(*form), consume_result::Complete);
    EXPECT_EQ(Value(*form, "a"), "1");
    // Without a boundary there are no parts.
    auto bare = Received(Post("multipart/form-data", "--\r\n\r\nx\r\n----"));
    EXPECT_EQ(ParseBody(*bare), consume_result::Complete);
    EXPECT_TRUE(bare->blocks.empty());
}

TEST(ParseBody, PartHeaderWithoutColonIsReported) {
    auto header = Received(Post("multipart/form-data; boundary=b",
                                "--b\r\nnonsense\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n--b--"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "oh oh ... problem...\n");
    EXPECT_EQ(Value(*header, "k"), "v");
}

// What went wrong: every body that is no form (JSON, text ...) wrote
// "content type not defined (...)" to standard error, a line per request.
TEST(ParseBody, UnknownContentTypeGivesNoBlocks) {
    auto header = Received(Post("text/plain", "a=1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(header->blocks.empty());

    auto untyped = Received("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_EQ(ParseBody(*untyped), consume_result::Complete);
    EXPECT_TRUE(untyped->blocks.empty());
}

TEST(ParseBody, BodyShorterOrLongerThanItsLength) {
    KoXHeader header(method_code::POST, false, protocol::HTTP);
    header.fields["content-type"] = {"application/x-www-form-urlencoded"};
    header.contentLength = 3;
    header.AppendInput("a=");
    EXPECT_EQ(ParseBody(header), consume_result::NeedMore);
    header.AppendInput("12");
    EXPECT_EQ(ParseBody(header), consume_result::Refused);
    EXPECT_TRUE(header.blocks.empty());
}

TEST(ParseBody, QueryAndBodyFieldsShareTheNameIndex) {
    auto header = Received("GET /p?a=q HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: 3\r\n\r\na=b");
    EXPECT_EQ(ParseBody(*header), consume_result::Complete);
    EXPECT_EQ(header->queryFieldsByName.at("a")->Text(), "q");
    EXPECT_EQ(header->bodyFieldsByName.at("a")->Text(), "b");
    EXPECT_EQ(Value(*header, "a"), "b");
    EXPECT_EQ(header->blocksByPosition.at("0")->Text(), "q");
    EXPECT_EQ(header->blocksByPosition.at("1")->Text(), "b");
}

// Every request's body was parsed as a form, a block with two map nodes and
// a buffer for each piece: 1 MiB of "=&" cost about 300 MiB. A form is now
// read only when asked for, within a bound on its fields and on each field.
TEST(ParseBody, FormsAreBoundedInFieldsAndFieldSize) {
    KoMessageLimits limits;
    limits.maxFormFields = 3;
    limits.maxFormFieldSize = 8;
    const std::string urlencoded = "application/x-www-form-urlencoded";
    const std::string multipart = "multipart/form-data; boundary=b";
    const auto part = [](const std::string& name) {
        return "--b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\nv\r\n";
    };
    const struct {
        const char* name;
        std::string target;
        std::string type;
        std::string body;
        KoMessageLimits limits;
        std::int32_t status;
        std::size_t blocks;  // when sound
    } table[] = {
        {"three fields", "/f", urlencoded, "a=1&b=2&c=3", limits, 0, 3},
        {"four fields", "/f", urlencoded, "a=1&b=2&c=3&d=4", limits, 413, 0},
        {"query and body count together", "/f?q=1&r=2", urlencoded, "a=1&b=2", limits, 413, 0},
        {"pieces without = are no fields", "/f", urlencoded, "&&&&a=1&&&&b&&&&&", limits, 0, 1},
        {"unnamed fields count", "/f", urlencoded, "=&=&=&=&", limits, 413, 0},
        {"a field of eight bytes", "/f", urlencoded, "abc=defg", limits, 0, 1},
        {"a field of nine bytes", "/f", urlencoded, "abc=defgh", limits, 413, 0},
        {"a long query field", "/f?abcd=efghi", urlencoded, "", limits, 413, 0},
        {"three parts", "/f", multipart, part("a") + part("b") + part("c") + "--b--", limits, 0, 3},
        {"four parts", "/f", multipart, part("a") + part("b") + part("c") + part("d") + "--b--", limits, 413, 0},
        {"a field of 1 MiB", "/f", urlencoded, "a=" + std::string((1 << 20) - 2, 'v'), KoMessageLimits{}, 0, 1},
        {"a field above 1 MiB", "/f", urlencoded, "a=" + std::string((1 << 20) - 1, 'v'), KoMessageLimits{}, 413, 0},
    };
    for (const auto& row : table) {
        KoMessageLimits used = row.limits;
        // The multipart rows need room for a part's header lines.
        if (row.type == multipart) used.maxFormFieldSize = 64;
        auto header = std::make_unique<KoXHeader>(0, false, protocol::HTTP, used);
        header->AppendInput("GET " + row.target + " HTTP/1.1\r\nContent-Type: " + row.type +
                            "\r\nContent-Length: " + std::to_string(row.body.size()) + "\r\n\r\n" + row.body);
        ASSERT_EQ(header->ConsumeHeader(split_harness::Admit()), consume_result::Complete) << row.name;
        EXPECT_EQ(ParseBody(*header), row.status == 0 ? consume_result::Complete : consume_result::Refused) << row.name;
        EXPECT_EQ(header->FormStatus(), row.status) << row.name;
        EXPECT_EQ(header->blocks.size(), row.blocks) << row.name;
        if (row.status != 0) {
            // A refused form leaves nothing behind to be read.
            EXPECT_TRUE(header->fieldsByName.empty() && header->queryFieldsByName.empty() &&
                        header->bodyFieldsByName.empty() && header->blocksByPosition.empty())
                << row.name;
        }
    }
    // One thousand and one fields are past the default bound.
    std::string many;
    for (int i = 0; i <= 1000; ++i) many += "f" + std::to_string(i) + "=1&";
    auto header = Received(Post(urlencoded, many));
    EXPECT_EQ(header->FormStatus(), 413);
    EXPECT_EQ(header->Field("f0"), nullptr);
    EXPECT_EQ(KoMessageLimits::kMaxFormFields, 1000u);
}

// Query and form values went through the lenient decoder, "%-1" giving 0xFF
// and "%+2" 0x02.
TEST(ParseBody, MalformedEscapesRefuseTheForm) {
    const struct {
        std::string target;
        std::string body;
        std::int32_t status;
    } table[] = {
        {"/f?a=%41", "b=%42+c", 0},   {"/f?a=%-1", "", 400}, {"/f?a=%+2", "", 400}, {"/f?a=%2", "", 400},
        {"/f?%4=a", "", 400},         {"/f", "a=%zz", 400},  {"/f", "a=%", 400},   {"/f", "a=1&%+4=b", 400},
        {"/f?skipped%zz", "", 0},
    };
    for (const auto& row : table) {
        auto header = Received("GET " + row.target + " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               "Content-Length: " + std::to_string(row.body.size()) + "\r\n\r\n" + row.body);
        EXPECT_EQ(header->FormStatus(), row.status) << row.target << " " << row.body;
        if (row.status == 0 && !row.body.empty()) {
            EXPECT_EQ(Value(*header, "a"), "A");
            EXPECT_EQ(Value(*header, "b"), "B c");
        }
    }
}

TEST(KoHTTPMessageBlock, StartsUnnamedAsOctets) {
    KoHTTPMessageBlock block;
    EXPECT_EQ(block.Name(), "");
    EXPECT_EQ(block.attributes.at("mimetype"), "application/octet-stream");
    EXPECT_EQ(block.content, nullptr);
    EXPECT_EQ(block.Text(), "");
}
