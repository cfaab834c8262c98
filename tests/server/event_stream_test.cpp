#include "server/http/event_stream.h"

#include <gtest/gtest.h>

TEST(KoFormatEvent, WritesOneDataLinePerLineAndCutsNamesAtLineBreaks) {
    struct Case {
        KoServerSentEvent event;
        const char* text;
    };
    const Case cases[] = {
        {{"hello", "", "", {}}, "data: hello\n\n"},
        {{"", "", "", {}}, "data: \n\n"},
        {{"a\nb\r\nc\rd", "", "", {}}, "data: a\ndata: b\ndata: c\ndata: d\n\n"},
        {{"x", "tick", "42", std::chrono::milliseconds(3000)}, "event: tick\nid: 42\nretry: 3000\ndata: x\n\n"},
        {{"x", "evil\ndata: forged", "7\nretry: 1", {}}, "event: evil\nid: 7\ndata: x\n\n"},
        {{"x", "", std::string("1\0002", 3), {}}, "id: 1\ndata: x\n\n"},
        {{"ends with a break\n", "", "", {}}, "data: ends with a break\ndata: \n\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(KoFormatEvent(c.event), c.text);
    EXPECT_EQ(KoEventStreamComment("keep-alive"), ": keep-alive\n\n");
    EXPECT_EQ(KoEventStreamComment(""), ":\n\n");
}
