#include "access/password_file.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "access/basic_credentials.h"
#include "access/crypt_hash.h"
#include "foundation/exception.h"

namespace {

// Made with `openssl passwd -6 -salt Q9pzKx1v2Y3w4Z5a 'correct horse'`.
const char* const sha512Entry =
    "carol:$6$Q9pzKx1v2Y3w4Z5a$AiY0H1zi4pwiP7HjQWm0jZnO0DSomrerO67yXtMYK4YhkbcQWjTuz6VYR92X4ggZvEYHaSdv0tzvLdJPToM6f0";

}  // namespace

// A file made once on Linux verifies unchanged wherever the library runs,
// Windows included: the yescrypt and bcrypt rows are crypt(3) of Debian's
// libcrypt1 under fixed salts.
TEST(KoPasswordFile, AFileMadeOnLinuxVerifiesTheSameEverywhere) {
    const KoPasswordFile file = KoPasswordFile::parse(
        "erin:$y$j9T$Hw4ETVC8a3S1NQ5kZW1lZ0$zsqG5680FNA8KBuH37UeNfxirV/nVgnSlruHXfv88gC\n"
        "frank:$2b$05$CCCCCCCCCCCCCCCCCCCCC.vTdnMkpWk2uFGdD13bbQkt9V3Bbgxl.\n" +
            std::string(sha512Entry) + "\n",
        "made-on-linux.passwd");
    EXPECT_EQ(file.size(), 3u);
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"erin", "tr0ub4dor&3", true},     {"erin", "tr0ub4dor&4", false},
        {"frank", "open sesame", true},    {"frank", "open sesamE", false},
        {"carol", "correct horse", true},  {"carol", "correct horse ", false},
        {"erin", "open sesame", false},
    };
    for (const auto& [user, password, accepted] : cases)
        EXPECT_EQ(file.verify(user, password), accepted) << user << ":" << password;
}

TEST(KoPasswordFile, VerifiesYescryptBcryptAndSha512Entries) {
    const std::string bcrypt = *cryptHash("battery staple", "$2b$05$abcdefghijklmnopqrstuu");
    const std::string text = "# users of the panel\n"
                             "alice:" + KoHashPassword("s3cret") + "\n"
                             "\n"
                             "bob:" + bcrypt + "\r\n" + sha512Entry + "\n";
    const KoPasswordFile file = KoPasswordFile::parse(text, "panel.passwd");
    EXPECT_EQ(file.size(), 3u);
    struct Case {
        const char* user;
        const char* password;
        bool accepted;
    };
    const Case cases[] = {
        {"alice", "s3cret", true},         {"alice", "s3cret ", false},  {"alice", "S3cret", false},
        {"alice", "", false},              {"bob", "battery staple", true}, {"bob", "battery", false},
        {"carol", "correct horse", true},  {"carol", "correct horsE", false},
        {"mallory", "s3cret", false},      {"Alice", "s3cret", false},   {"", "", false},
    };
    for (const Case& c : cases) EXPECT_EQ(file.verify(c.user, c.password), c.accepted) << c.user << ":" << c.password;
    EXPECT_FALSE(file.verify("alice", std::string("s3cret\0x", 8)));
}

TEST(KoPasswordFile, WeakOrMalformedEntriesAreRefusedWhenTheFileIsRead) {
    const std::pair<const char*, const char*> cases[] = {
        {"dave:plaintext", "line 1"},
        {"dave:$1$abcd$SwRG.yy0q6pJ8rg/8TwLf.", "line 1"},                         // MD5
        {"dave:$apr1$abcd$NLw/IRgjEiY5X5tz3PKbx/", "line 1"},                      // Apache MD5
        {"dave:$5$abcdefgh$sI6g8tHKrJ6RX7w.YoN9B7a/5wK5jYEOMmMnt3tPl0/", "line 1"},  // SHA-256 is not taken
        {"dave:abJnggxhB/yWI", "line 1"},                                          // DES
        {"# ok\nnocolon", "line 2"},
        {":$6$Q9pzKx1v2Y3w4Z5a$AiY0H1zi4pwiP7HjQWm0jZnO0DSomrerO67yXtMYK4YhkbcQWjTuz6VYR92X4ggZvEYHaSdv0tzvLdJPToM6f0",
         "line 1"},
        {"carol:$6$Q9pzKx1v2Y3w4Z5a$AiY0H1zi4pwiP7HjQWm0jZnO0DSomrerO67yXtMYK4YhkbcQWjTuz6VYR92X4ggZvEYHaSdv0tzvLdJPToM6f0\n"
         "carol:$6$Q9pzKx1v2Y3w4Z5a$AiY0H1zi4pwiP7HjQWm0jZnO0DSomrerO67yXtMYK4YhkbcQWjTuz6VYR92X4ggZvEYHaSdv0tzvLdJPToM6f0",
         "line 2"},
    };
    for (const auto& [text, where] : cases) {
        try {
            KoPasswordFile::parse(text, "users.txt");
            ADD_FAILURE() << "taken: " << text;
        } catch (const KoException& error) {
            EXPECT_NE(std::string(error.what()).find(std::string("users.txt ") + where), std::string::npos)
                << error.what();
        }
    }
    EXPECT_THROW(KoPasswordFile::load("/nonexistent/users.txt"), KoException);
}

TEST(KoPasswordFile, EveryNewHashHasItsOwnSalt) {
    const std::string first = KoHashPassword("same");
    const std::string second = KoHashPassword("same");
    EXPECT_NE(first, second);
    EXPECT_TRUE(KoIsAcceptedPasswordHash(first));
    EXPECT_EQ(first.rfind("$y$", 0), 0u);
}

TEST(BasicAuthorization, ReadsUserAndPasswordStrictly) {
    struct Case {
        const char* value;
        bool valid;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"Basic YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
        {"basic YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
        {"BASIC  YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
        {"Basic YWxpY2U6YTpi", true, "alice", "a:b"},       // alice:a:b, the password keeps its colon
        {"Basic YWxpY2U6", true, "alice", ""},              // alice:
        {"Basic YTpi", true, "a", "b"},
        {"Basic YWI6Yw==", true, "ab", "c"},
        {"Basic OnB3", false, "", ""},                      // :pw, no user
        {"Basic YWxpY2U=", false, "", ""},                  // no colon
        {"Basic YWxpY2U6czNjcmV0=", false, "", ""},         // bad length
        {"Basic YW=pY2U6", false, "", ""},                  // padding inside
        {"Basic YWxp*2U6", false, "", ""},
        {"Basic YQphOmI=", false, "", ""},                  // a\na:b, a control byte
        {"Bearer YWxpY2U6czNjcmV0", false, "", ""},
        {"Basic", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        const auto credentials = parseBasicAuthorization(c.value);
        ASSERT_EQ(credentials.has_value(), c.valid) << c.value;
        if (!credentials) continue;
        EXPECT_EQ(credentials->user, c.user) << c.value;
        EXPECT_EQ(credentials->password, c.password) << c.value;
    }
    EXPECT_EQ(basicChallenge("the \"panel\""), "Basic realm=\"the \\\"panel\\\"\", charset=\"UTF-8\"");
}

TEST(KoPasswordFileWithEntry, ReplacesTheUsersLineOrAddsOne) {
    const std::string file = "# panel users\nalice:OLD\nbob:B\n";
    EXPECT_EQ(KoPasswordFileWithEntry(file, "alice", "NEW"), "# panel users\nalice:NEW\nbob:B\n");
    EXPECT_EQ(KoPasswordFileWithEntry(file, "carol", "C"), file + "carol:C\n");
    EXPECT_EQ(KoPasswordFileWithEntry("bob:B", "carol", "C"), "bob:B\ncarol:C\n");
    EXPECT_EQ(KoPasswordFileWithEntry("", "al", "A"), "al:A\n");
    EXPECT_EQ(KoPasswordFileWithEntry("alice:X\n", "ali", "A"), "alice:X\nali:A\n");  // a prefix is another user
    for (const char* bad : {"", "a:b", "a\nb"}) EXPECT_THROW(KoPasswordFileWithEntry(file, bad, "H"), KoException) << bad;
    // What the tool writes loads and verifies.
    const std::string made = KoPasswordFileWithEntry(file.substr(0, 14), "dave", KoHashPassword("pw"));
    EXPECT_TRUE(KoPasswordFile::parse(made, "made").verify("dave", "pw"));
}
