#include "store/command_compiler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velko::store::compileCommand;
using velko::store::splitCall;

using Tokens = std::vector<std::string>;

TEST(CommandCompiler, SplitsACallIntoNameAndArguments) {
    EXPECT_EQ(splitCall("f(a, b,\tc ,\n d)"), (Tokens{"f(", "a", "b", "c ", "d"}));
    EXPECT_EQ(splitCall("f()"), (Tokens{"f("}));
    EXPECT_EQ(splitCall("f( )"), (Tokens{"f("}));
    EXPECT_EQ(splitCall("f(a,)"), (Tokens{"f(", "a", ""}));
    EXPECT_EQ(splitCall("f(a) trailing"), (Tokens{"f(", "a"}));
    EXPECT_EQ(splitCall("f(a,b"), (Tokens{"f(", "a", "b"}));
    EXPECT_EQ(splitCall("f(a,"), (Tokens{"f(", "a", ""}));
    EXPECT_EQ(splitCall("noparen"), (Tokens{"noparen"}));
    // Quotes are the generator's business; a comma inside them still splits.
    EXPECT_EQ(splitCall("f(\"a,b\")"), (Tokens{"f(", "\"a", "b\""}));
}

TEST(CommandCompiler, LinearAnimationCallProducesKeyframes) {
    const std::string css =
        compileCommand("!linearanimation(.s, 9s, infinite, 3, opacity:1, opacity:0, 2)");
    for (const char* piece : {".s0 {\n", ".s1 {\n", ".s2 {\n", "  animation: s1 9s infinite;\n",
                              "@keyframes s2 {\n", "@-webkit-keyframes s0 {\n",
                              "31.3333% {\n  opacity:0\n}\n", "64.6667% {\n  opacity:1\n}\n"}) {
        EXPECT_NE(css.find(piece), std::string::npos) << piece;
    }
    EXPECT_EQ(css.find(".s3"), std::string::npos);
}

TEST(CommandCompiler, MalformedAndUnknownCommands) {
    EXPECT_EQ(compileCommand("!linearanimation(.s, 9s, infinite, many, a:1, a:0, 2)"),
              "/* error */\n");
    EXPECT_EQ(compileCommand("!linearanimation(.s)"), "/* error */\n");
    EXPECT_EQ(compileCommand("!linearanimation(.s, 9s, infinite, 1, a:1, a:0, 2)"), "");
    // Only the exact name is a call of the generator.
    EXPECT_EQ(compileCommand("!LinearAnimation(.s, 9s, infinite, 3, a:1, a:0, 2)"), "");
    EXPECT_EQ(compileCommand("!unknown(1)"), "");
    EXPECT_EQ(compileCommand("!"), "");
}
