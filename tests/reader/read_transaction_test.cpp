#include "reader/read_transaction.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "reader/dtd_element_reader_stream.h"
#include "reader_test_support.h"

TEST(ReadTransaction, HandsBackWhatLiesBeyondThePosition) {
    std::istringstream in("abcdef");
    KoDTDElementReaderStream reader(in);
    {
        ReadTransaction t(reader);
        EXPECT_EQ(t.peek(), 'a');
        EXPECT_EQ(t.get(), 'a');
        EXPECT_EQ(t.get(), 'b');
        EXPECT_EQ(t.get(), 'c');
        t.giveBack(2);
        EXPECT_EQ(t.position(), 1u);
        EXPECT_EQ(t.peek(), 'b');
        t.finish();
    }
    EXPECT_EQ(reader.pendingText(), "bc");
    EXPECT_EQ(reader.consumed, 1u);
    {
        // Pending characters come before the stream's.
        ReadTransaction t(reader);
        EXPECT_EQ(t.get(), 'b');
        EXPECT_EQ(t.get(), 'c');
        EXPECT_EQ(t.peek(), 'd');
        EXPECT_EQ(t.get(), 'd');
        t.giveBack(1);
    }
    EXPECT_EQ(reader.pendingText(), "d");
    {
        ReadTransaction t(reader);
        EXPECT_EQ(t.get(), 'd');
        t.rewind();
    }
    EXPECT_EQ(reader.pendingText(), "d");
    {
        ReadTransaction t(reader);
        for (char c : std::string("def")) EXPECT_EQ(t.get(), c);
    }
    EXPECT_FALSE(reader.hasPending());
    EXPECT_EQ(reader.consumed, 6u);
}

TEST(ReadTransaction, CharactersAreBytesAndTheEndIsMinusOne) {
    std::istringstream in(std::string("\xff\x80", 2));
    KoDTDElementReaderStream reader(in);
    reader_test::CerrCapture err;
    ReadTransaction t(reader);
    EXPECT_EQ(t.get(), 0xff);
    EXPECT_EQ(t.get(), 0x80);
    EXPECT_EQ(t.peek(), -1);
    EXPECT_EQ(t.get(true), -1);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(t.get(), -1);
    EXPECT_EQ(err.text(), "reading EOF is an error! ---> will become an exception\n");
    EXPECT_EQ(t.position(), 2u);
}

TEST(ReadTransaction, CountsLineFeedsEachTimeTheyAreHandedOut) {
    std::istringstream in("a\nb\nc");
    KoDTDElementReaderStream reader(in);
    {
        ReadTransaction t(reader);
        for (int i = 0; i < 4; ++i) t.get();
        EXPECT_EQ(reader.line, 3u);
        t.giveBack(3);
        // Moving inside the taken text hands nothing out again.
        t.get();
        EXPECT_EQ(reader.line, 3u);
        t.giveBack(1);
    }
    {
        ReadTransaction t(reader);
        for (int i = 0; i < 3; ++i) t.get();
    }
    // Both line feeds after "a" were handed out twice.
    EXPECT_EQ(reader.line, 5u);
}

TEST(ReadTransaction, RefusesToGiveBackMoreThanWasRead) {
    std::istringstream in("xy");
    KoDTDElementReaderStream reader(in);
    reader_test::CerrCapture err;
    ReadTransaction t(reader);
    t.get();
    t.giveBack(2);
    EXPECT_EQ(t.position(), 1u);
    EXPECT_EQ(err.text(), "error! can't give more back than read---> will become an exception... 1 vs. 2\n");
}

TEST(ReadTransaction, FinishesWhenAnExceptionLeaves) {
    std::istringstream in("xyz");
    KoDTDElementReaderStream reader(in);
    try {
        ReadTransaction t(reader);
        t.get();
        t.get();
        t.giveBack(1);
        throw std::runtime_error("recogniser failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(reader.pendingText(), "y");
    EXPECT_EQ(reader.consumed, 1u);
}
