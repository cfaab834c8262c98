#include "foundation/exception.h"

#include <gtest/gtest.h>

TEST(KoException, KeepsOnlyTheMessage) {
    KoException e("options are missing", 27, "src");
    EXPECT_STREQ(e.what(), "options are missing");
    KoException copy(e, 99, "elsewhere");
    EXPECT_STREQ(copy.what(), "options are missing");
}

TEST(KoException_SSL, PrefixesTheMessage) {
    KoException_SSL e("x", 1, "src");
    EXPECT_STREQ(e.what(), "(SSL) x");
    // Re-raising a plain exception keeps its text as it is.
    KoException_SSL again(KoException("plain", 2, "src"));
    EXPECT_STREQ(again.what(), "plain");
    try {
        throw KoException_SSL("y", 3, "src");
    } catch (const KoException& caught) {
        EXPECT_STREQ(caught.what(), "(SSL) y");
    }
}
