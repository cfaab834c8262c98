#include "store/template_expander.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

using velko::store::expandMarkers;
using velko::store::ExpansionEnd;
using velko::store::TemplateLimits;

namespace {

// Resolves markers from a table; absent names give the empty text.
struct Table {
    std::map<std::string, std::string> values;
    int calls = 0;
    std::string operator()(const std::string& inner) {
        ++calls;
        auto it = values.find(inner);
        return it == values.end() ? std::string() : it->second;
    }
};

std::string expand(std::string text, Table& table, ExpansionEnd expected = ExpansionEnd::complete,
                   const TemplateLimits& limits = {}) {
    EXPECT_EQ(expandMarkers(text, std::ref(table), limits), expected) << text;
    return text;
}

} // namespace

TEST(TemplateExpander, LeavesTextWithoutCompleteMarkersAlone) {
    Table table{{{"x", "1"}}};
    for (const char* text : {"", "plain text", "a[[x", "[[", "[[x]", "a]]b", "[x]]", "[[x] ]"}) {
        EXPECT_EQ(expand(text, table), text);
    }
    EXPECT_EQ(table.calls, 0);
}

TEST(TemplateExpander, ReplacesMarkersInOrder) {
    Table table{{{"x", "1"}, {"y", "22"}}};
    EXPECT_EQ(expand("a[[x]]b", table), "a1b");
    EXPECT_EQ(expand("a[[nothing]]b", table), "ab");
    EXPECT_EQ(expand("[[x]][[y]][[x]]", table), "1221");
    EXPECT_EQ(expand("[[]]", table), "");
    // The first "]]" after the "[[" closes the marker.
    EXPECT_EQ(expand("[[x]]]]", table), "1]]");
    // The first "[[" opens it, so the inner text of "[[[x]]" is "[x".
    table.values["[x"] = "B";
    EXPECT_EQ(expand("[[[x]]", table), "B");
}

TEST(TemplateExpander, StopsAtAnOpenMarkerAndKeepsTheRest) {
    Table table{{{"x", "1"}}};
    EXPECT_EQ(expand("[[x]] and [[x and [[x]]", table), "1 and ");
    EXPECT_EQ(expand("[[x]] then [[x", table), "1 then [[x");
}

TEST(TemplateExpander, RescansReplacements) {
    Table table{{{"outer", "<[[inner]]>"}, {"inner", "in"}, {"half", "[[x"}, {"x", "X"}}};
    EXPECT_EQ(expand("[[outer]]", table), "<in>");
    // A replacement may open a marker that the following text closes.
    EXPECT_EQ(expand("[[half]]]]!", table), "X!");
    // Scanning restarts where the replaced marker began.
    table.values["p"] = "[";
    table.values["[m"] = "M";
    EXPECT_EQ(expand("[[p]][[m]]", table), "M");
}

TEST(TemplateExpander, SelfReproducingMarkerStopsAtTheDepthBound) {
    // x expands to a text that holds x again: without a bound this never ends.
    Table table{{{"x", "a[[x]]"}}};
    TemplateLimits limits;
    limits.maxDepth = 5;
    EXPECT_EQ(expand("<[[x]]>", table, ExpansionEnd::depthLimit, limits), "<aaaaa[[x]]>");
    EXPECT_EQ(table.calls, 5);

    Table defaults{{{"x", "[[x]]"}}};
    std::string text = "[[x]]";
    EXPECT_EQ(expandMarkers(text, std::ref(defaults)), ExpansionEnd::depthLimit);
    EXPECT_EQ(text, "[[x]]");
    EXPECT_EQ(defaults.calls, static_cast<int>(TemplateLimits::kDefaultMaxDepth));
}

TEST(TemplateExpander, BranchingMarkerStopsAtTheExpansionBound) {
    // Each expansion doubles the markers: the depth bound alone would allow
    // 2^depth expansions.
    Table table{{{"x", "[[x]][[x]]"}}};
    TemplateLimits limits;
    limits.maxDepth = 1u << 30;
    std::string text = "[[x]]";
    EXPECT_EQ(expandMarkers(text, std::ref(table), limits), ExpansionEnd::expansionLimit);
    EXPECT_EQ(table.calls, static_cast<int>(TemplateLimits::kDefaultMaxExpansions));
    EXPECT_NE(text.find("[[x]]"), std::string::npos);

    // Many flat markers: the ones past the bound stay as written.
    Table flat{{{"y", "1"}}};
    std::string many;
    for (int i = 0; i < 10005; ++i) many += "[[y]]";
    EXPECT_EQ(expandMarkers(many, std::ref(flat)), ExpansionEnd::expansionLimit);
    EXPECT_EQ(many, std::string(10000, '1') + "[[y]][[y]][[y]][[y]][[y]]");
}

TEST(TemplateExpander, GrowingReplacementStopsAtTheLengthBound) {
    Table table{{{"x", std::string(100, 'z') + "[[x]]"}}};
    TemplateLimits limits;
    limits.maxLength = 1000;
    std::string text = "[[x]]";
    EXPECT_EQ(expandMarkers(text, std::ref(table), limits), ExpansionEnd::lengthLimit);
    EXPECT_LE(text.size(), 1000u);
    EXPECT_EQ(text.substr(text.size() - 5), "[[x]]");
    // Shrinking replacements go on past the bound.
    Table shrink{{{"x", ""}}};
    std::string long_text(2000, 'q');
    long_text += "[[x]]";
    EXPECT_EQ(expandMarkers(long_text, std::ref(shrink), limits), ExpansionEnd::complete);
    EXPECT_EQ(long_text, std::string(2000, 'q'));
}

TEST(TemplateExpander, ResolverFailureLeavesTheTextUnchanged) {
    std::string text = "a[[x]]b[[boom]]c";
    auto resolver = [](const std::string& inner) -> std::string {
        if (inner == "boom") throw std::runtime_error("boom");
        return "1";
    };
    EXPECT_THROW(expandMarkers(text, resolver), std::runtime_error);
    EXPECT_EQ(text, "a[[x]]b[[boom]]c");
}
