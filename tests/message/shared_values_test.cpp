// Holders of one shared map: reads see it, a write copies it for the writer
// alone; a request's answer holds the request's fields so.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "message/response_header.h"
#include "message/shared_values.h"
#include "message/x_header.h"

namespace {

TEST(KoSharedMap, HoldersShareUntilOneWrites) {
    auto made = std::make_shared<KoStringMap>(KoStringMap{{"localaddress", "127.0.0.1"}, {"remoteport", "5"}});
    const std::shared_ptr<const KoStringMap> shared = made;
    KoSharedValues first(shared);
    KoSharedValues second(shared);
    EXPECT_EQ(&first.map(), made.get());
    EXPECT_EQ(first.find("remoteport")->second, "5");
    EXPECT_EQ(first.count("remoteaddress"), 0u);
    EXPECT_EQ(first.erase("remoteaddress"), 0u);  // nothing to erase: still shared
    EXPECT_EQ(&first.map(), made.get());

    first["user"] = "alice";
    second.erase("remoteport");
    EXPECT_EQ(*made, (KoStringMap{{"localaddress", "127.0.0.1"}, {"remoteport", "5"}}));
    EXPECT_EQ(first, (KoStringMap{{"localaddress", "127.0.0.1"}, {"remoteport", "5"}, {"user", "alice"}}));
    EXPECT_EQ(second, (KoStringMap{{"localaddress", "127.0.0.1"}}));

    // Its sole holder changes its own map in place.
    const KoStringMap* own = &first.map();
    first["user"] = "bob";
    EXPECT_EQ(&first.map(), own);

    KoSharedValues empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.find("x"), empty.end());
    empty = KoStringMap{{"x", "1"}};
    const KoStringMap& whole = empty;
    EXPECT_EQ(whole.at("x"), "1");
}

TEST(KoSharedMap, AnAnswerSharesItsRequestsFieldsAndKeepsThemAlive) {
    auto request = std::make_shared<KoXHeader>(0, false, protocol::HTTP);
    request->AppendInput("GET /a HTTP/1.1\r\nHost: x\r\nUser-Agent: a-rather-long-agent-name\r\n\r\n");
    ASSERT_EQ(request->ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    auto answer = request->MakeAnswer();
    EXPECT_EQ(&answer->requestFields.map(), &request->fields);
    request.reset();
    ASSERT_NE(answer->requestFields.find("user-agent"), answer->requestFields.end());
    EXPECT_EQ(answer->requestFields.find("user-agent")->second.front(), "a-rather-long-agent-name");

    // A request no shared_ptr holds is copied.
    KoXHeader alone(0, false, protocol::HTTP);
    alone.fields["host"] = {"y"};
    auto copied = alone.MakeAnswer();
    EXPECT_NE(&copied->requestFields.map(), &alone.fields);
    EXPECT_EQ(copied->requestFields, alone.fields);
}

}  // namespace
