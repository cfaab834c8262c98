#include "html/linear_animation_css.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> call(std::vector<std::string> args,
                              std::string name = "linearanimation(") {
    args.insert(args.begin(), std::move(name));
    return args;
}

std::string frame(const std::string& pct, const std::string& decl) {
    return pct + "% {\n  " + decl + "\n}\n";
}

std::string ruleFor(const std::string& sel, const std::string& anim) {
    return sel + " {\n  -webkit-animation: " + anim + " 9s infinite;\n  animation: " +
           anim + " 9s infinite;\n}\n\n";
}

const std::string kShown = "opacity:1";
const std::string kHidden = "opacity:0";

}  // namespace

TEST(linearAnimationCss, ThreeSlidesGiveTheExpectedKeyframes) {
    const std::string css =
        linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden, "2"}));

    const std::string s1Frames = frame("0", kHidden) + frame("31.3333", kHidden) +
                                 frame("33.3333", kShown) + frame("64.6667", kShown) +
                                 frame("66.6667", kHidden) + frame("100", kHidden);
    const std::string s0Frames = frame("0", kShown) + frame("31.3333", kShown) +
                                 frame("33.3333", kHidden) + frame("98", kHidden) +
                                 frame("100", kShown);
    const std::string s2Frames = frame("0", kHidden) + frame("64.6667", kHidden) +
                                 frame("66.6667", kShown) + frame("98", kShown) +
                                 frame("100", kHidden);
    std::string expected;
    const std::string frames[] = {s0Frames, s1Frames, s2Frames};
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        expected += ruleFor(".s" + n, "s" + n);
        expected += "@-webkit-keyframes s" + n + " {\n" + frames[i] + "}\n\n";
        expected += "@keyframes s" + n + " {\n" + frames[i] + "}\n\n";
    }
    EXPECT_EQ(css, expected);
}

TEST(linearAnimationCss, StemDropsOnlyALeadingDotOrHash) {
    const std::string byId =
        linearAnimationCss(call({"#pic", "1s", "2", "2", "a:1", "a:0", "0"}));
    EXPECT_EQ(byId.rfind("#pic0 {\n  -webkit-animation: pic0 1s 2;\n", 0), 0u);
    EXPECT_NE(byId.find("@keyframes pic1 {\n"), std::string::npos);

    const std::string byTag =
        linearAnimationCss(call({"img", "1s", "2", "2", "a:1", "a:0", "0"}));
    EXPECT_EQ(byTag.rfind("img0 {\n  -webkit-animation: img0 1s 2;\n", 0), 0u);
}

TEST(linearAnimationCss, QuotedArgumentsAreUnquoted) {
    const std::string quoted = linearAnimationCss(
        call({"'.s'", "\"9s\"", "infinite", "'3'", "\"opacity:1\"", "'opacity:0'", "\"2\""}));
    const std::string plain =
        linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden, "2"}));
    EXPECT_EQ(quoted, plain);
    // Mixed quote characters still count as a pair.
    EXPECT_EQ(linearAnimationCss(call({"\".s'", "9s", "infinite", "3", kShown, kHidden, "2"})),
              plain);
}

TEST(linearAnimationCss, CountOfZeroOrOneGivesNothing) {
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "1", kShown, kHidden, "2"})), "");
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "0", kShown, kHidden, "2"})), "");
}

TEST(linearAnimationCss, NumbersReadUpToTheFirstNonDigit) {
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "3x", kShown, kHidden, "2%"})),
              linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden, "2"})));
}

TEST(linearAnimationCss, MalformedCallsGiveTheErrorComment) {
    const std::string error = "/* error */\n";
    EXPECT_EQ(linearAnimationCss({}), error);
    EXPECT_EQ(linearAnimationCss(
                  call({".s", "9s", "infinite", "3", kShown, kHidden, "2"}, "linearanimation")),
              error);
    EXPECT_EQ(linearAnimationCss(
                  call({".s", "9s", "infinite", "3", kShown, kHidden, "2"}, "lineranimation(")),
              error);
    // Too few arguments.
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden})), error);
    // Count or edge that is not a number, or out of range.
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "three", kShown, kHidden, "2"})),
              error);
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden, "x"})), error);
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "", kShown, kHidden, "2"})), error);
    EXPECT_EQ(linearAnimationCss(
                  call({".s", "9s", "infinite", "99999999999999999999", kShown, kHidden, "2"})),
              error);
}

// A negative count used to wrap round to an enormous unsigned number and the
// generator then tried to produce output for it without end.
TEST(linearAnimationCss, NegativeOrHugeCountIsAnError) {
    const std::string error = "/* error */\n";
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "-3", kShown, kHidden, "2"})), error);
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite", "3", kShown, kHidden, "-2"})), error);
    EXPECT_EQ(linearAnimationCss(call({".s", "9s", "infinite",
                                       std::to_string(kLinearAnimationMaxCount + 1), kShown,
                                       kHidden, "2"})),
              error);
    EXPECT_NE(linearAnimationCss(call({".s", "9s", "infinite",
                                       std::to_string(kLinearAnimationMaxCount), kShown, kHidden,
                                       "2"})),
              error);
}

// A lone quote character is both the first and the last character of its
// token; unquoting it must not read outside the text.
TEST(linearAnimationCss, LoneQuoteArgumentBecomesEmpty) {
    const std::string css =
        linearAnimationCss(call({".s", "\"", "infinite", "2", kShown, kHidden, "0"}));
    EXPECT_NE(css.find("  animation: s0  infinite;\n"), std::string::npos);
}
