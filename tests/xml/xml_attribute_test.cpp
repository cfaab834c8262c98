#include <cmath>
#include <locale>
#include <utility>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "xml/xml_bool_ko_attribute.h"
#include "xml/xml_complex_attribute.h"
#include "xml/xml_complex_attribute_proxy.h"
#include "xml/xml_double_ko_attribute.h"
#include "xml/xml_generic_attribute.h"
#include "xml/xml_string_ko_attribute.h"

namespace {

std::string written(const KoXMLComplexAttribute2& attribute) {
    std::ostringstream out;
    attribute.writeValue(out);
    return out.str();
}

}  // namespace

TEST(KoXMLComplexAttribute2, BaseIsSetWritesNothingAndIgnoresAssignment) {
    KoXMLComplexAttribute2 base;
    EXPECT_TRUE(base.isSet());
    EXPECT_EQ(base.assign("x"), "");
    const char* text = "y";
    EXPECT_EQ(base.assignCString(text), text);
    EXPECT_EQ(written(base), "");
}

TEST(KoXMLGenericAttribute, HoldsTextAsItIs) {
    KoXMLGenericAttribute attribute("a<b&\"c");
    EXPECT_TRUE(attribute.isSet());
    EXPECT_EQ(written(attribute), "a<b&\"c");
    const std::string& stored = attribute.assign("new");
    EXPECT_EQ(&stored, &attribute.value());
    EXPECT_EQ(written(attribute), "new");
    attribute.assignCString(nullptr);
    EXPECT_TRUE(attribute.isSet());
    EXPECT_EQ(written(attribute), "");
}

TEST(KoXMLStringKoAttribute, SetOnlyByAValue) {
    KoXMLStringKoAttribute attribute;
    EXPECT_FALSE(attribute.isSet());
    EXPECT_EQ(written(attribute), "");

    attribute.assign("");
    EXPECT_TRUE(attribute.isSet());
    EXPECT_EQ(written(attribute), "");

    EXPECT_EQ(attribute.assign("v"), "v");
    EXPECT_EQ(attribute.text(), "v");
    EXPECT_EQ(written(attribute), "v");

    // A null string clears both value and flag.
    attribute.assignCString(nullptr);
    EXPECT_FALSE(attribute.isSet());
    EXPECT_EQ(attribute.text(), "");

    attribute.assignCString("");
    EXPECT_TRUE(attribute.isSet());
    attribute.clear();
    EXPECT_FALSE(attribute.isSet());
}

struct BoolRow {
    const char* text;
    bool expected;
};

TEST(KoXMLBoolKoAttribute, ParsesIntegersThenTheWordTrue) {
    const BoolRow rows[] = {
        {"1", true},           {"12abc", true},     {"-3", true},
        {"  7", true},         {"\t\n+5", true},    {"2", true},
        {"0", false},          {"00", false},       {" -0", false},
        {"true", true},        {"TRUE", true},      {"True", true},
        {"TrUe", true},        {"false", false},    {"FALSE", false},
        {"yes", false},        {"true ", false},    {" true", false},
        {"", false},           {"-", false},        {"+", false},
        {"truex", false},
        // Still in range: the extremes of a signed 64-bit integer.
        {"9223372036854775807", true}, {"-9223372036854775808", true},
        // Out of range falls back to the word test.
        {"9223372036854775808", false}, {"-9223372036854775809", false},
        {"99999999999999999999999", false},
    };
    for (const BoolRow& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(KoXMLBoolKoAttribute::parse(row.text), row.expected);
        KoXMLBoolKoAttribute attribute;
        const std::string text = row.text;
        EXPECT_EQ(&attribute.assign(text), &text);
        EXPECT_TRUE(attribute.isSet());
        EXPECT_EQ(attribute.value(), row.expected);
    }
}

TEST(KoXMLBoolKoAttribute, WritesWordsAndReadsThemBack) {
    KoXMLBoolKoAttribute attribute;
    EXPECT_FALSE(attribute.isSet());
    EXPECT_EQ(written(attribute), "");
    attribute.set(true);
    EXPECT_EQ(written(attribute), "true");
    KoXMLBoolKoAttribute copy;
    copy.assign(written(attribute));
    EXPECT_TRUE(copy.value());
    attribute.set(false);
    EXPECT_EQ(written(attribute), "false");
    copy.assign(written(attribute));
    EXPECT_FALSE(copy.value());
}

TEST(KoXMLBoolKoAttribute, CStringNullIsUnsetAndEmptyIsSetFalse) {
    KoXMLBoolKoAttribute attribute;
    attribute.assign("1");
    const char* none = nullptr;
    EXPECT_EQ(attribute.assignCString(none), nullptr);
    EXPECT_FALSE(attribute.isSet());
    EXPECT_FALSE(attribute.value());

    attribute.assign("1");
    attribute.assignCString("");
    EXPECT_TRUE(attribute.isSet());
    EXPECT_FALSE(attribute.value());
    EXPECT_EQ(written(attribute), "false");

    attribute.assignCString("True");
    EXPECT_TRUE(attribute.value());
}

TEST(KoXMLDoubleKoAttribute, ParsesLikeStodInTheClassicLocale) {
    // The reference is std::stod itself; the test runs in the "C" locale.
    const char* texts[] = {
        "0",       "1.5",    "-2.25",  "+3",       "  \t4.5e2", "1e-3",   "1E+3",
        ".5",      "5.",     "7.5abc", "1e",       "1e+",       "0x10",   "0x1p3",
        "-0x.8p1", "0xg",    "0x",     "inf",      "-INF",      "Infinity", "1e308",
        "2.2250738585072014e-308", "123456789012345678901234567890",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const double expected = std::stod(text);
        EXPECT_EQ(KoXMLDoubleKoAttribute::parse(text), expected);
    }
    EXPECT_TRUE(std::isnan(KoXMLDoubleKoAttribute::parse("nan")));
    EXPECT_TRUE(std::isnan(KoXMLDoubleKoAttribute::parse(" -NaN(1)x")));
}

TEST(KoXMLDoubleKoAttribute, ReportsFailuresWithTheirTexts) {
    const char* invalid[] = {"", "abc", " ", "-", "+-1", "--1", ".", "e5", " x1"};
    for (const char* text : invalid) {
        SCOPED_TRACE(text);
        EXPECT_THROW(std::stod(text), std::invalid_argument);
        try {
            KoXMLDoubleKoAttribute::parse(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid stod argument");
        }
    }
    const char* outOfRange[] = {"1e400", "-1e400", "1e-400", "1e-310"};
    for (const char* text : outOfRange) {
        SCOPED_TRACE(text);
        EXPECT_THROW(std::stod(text), std::out_of_range);
        try {
            KoXMLDoubleKoAttribute::parse(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "stod argument out of range");
        }
    }
}

TEST(KoXMLDoubleKoAttribute, AssignThrowsWhereCStringStoresZero) {
    KoXMLDoubleKoAttribute attribute;
    EXPECT_THROW(attribute.assign("abc"), std::invalid_argument);
    attribute.set(4.0);
    EXPECT_EQ(attribute.assignCString("abc"), std::string("abc"));
    EXPECT_TRUE(attribute.isSet());
    EXPECT_EQ(attribute.value(), 0.0);

    attribute.assignCString("1e999");
    EXPECT_EQ(attribute.value(), 0.0);
    attribute.assignCString("2.5");
    EXPECT_EQ(attribute.value(), 2.5);
    attribute.assignCString("");
    EXPECT_TRUE(attribute.isSet());
    EXPECT_EQ(attribute.value(), 0.0);
    attribute.assignCString(nullptr);
    EXPECT_FALSE(attribute.isSet());
    EXPECT_EQ(written(attribute), "");
}

TEST(KoXMLDoubleKoAttribute, WritesWithDefaultStreamFormatting) {
    KoXMLDoubleKoAttribute attribute;
    const std::pair<double, const char*> rows[] = {
        {0.0, "0"}, {1.5, "1.5"}, {-2.0, "-2"}, {3.14159265, "3.14159"},
        {1234567.0, "1.23457e+06"}, {0.0001, "0.0001"}, {1e-5, "1e-05"},
    };
    for (const auto& [value, text] : rows) {
        attribute.set(value);
        EXPECT_EQ(written(attribute), text);
    }
    // The target stream's own precision does not leak into the value.
    std::ostringstream out;
    out.precision(2);
    attribute.set(3.14159265);
    attribute.writeValue(out);
    EXPECT_EQ(out.str(), "3.14159");
}

namespace {

struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

}  // namespace

// A host that installs its own global locale must not change stored texts.
TEST(KoXMLDoubleKoAttribute, WritesTheSameUnderAnyGlobalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaDecimals));
    KoXMLDoubleKoAttribute attribute;
    attribute.set(12345.5);
    const std::string text = written(attribute);
    std::locale::global(previous);
    EXPECT_EQ(text, "12345.5");
}

TEST(KoXMLComplexAttributeProxy2, ForwardsToItsTarget) {
    KoXMLBoolKoAttribute target;
    {
        KoXMLComplexAttributeProxy2 proxy(&target);
        EXPECT_EQ(proxy.target(), &target);
        EXPECT_FALSE(proxy.isSet());
        EXPECT_EQ(written(proxy), "");
        const std::string text = "TRUE";
        EXPECT_EQ(&proxy.assign(text), &text);
        EXPECT_TRUE(target.isSet());
        EXPECT_TRUE(target.value());
        EXPECT_TRUE(proxy.isSet());
        EXPECT_EQ(written(proxy), "true");
        proxy.assignCString(nullptr);
        EXPECT_FALSE(target.isSet());
        EXPECT_FALSE(proxy.isSet());
    }
    // The proxy is gone; the target is untouched and still usable.
    target.set(true);
    EXPECT_EQ(written(target), "true");

    KoXMLStringKoAttribute text;
    KoXMLComplexAttributeProxy2 toText(&text);
    EXPECT_EQ(toText.assign("abc"), "abc");
    EXPECT_EQ(&toText.assign("abc"), &text.text());

    KoXMLDoubleKoAttribute number;
    KoXMLComplexAttributeProxy2 toNumber(&number);
    EXPECT_THROW(toNumber.assign("x"), std::invalid_argument);
}

// A proxy built for a missing member must not dereference it.
TEST(KoXMLComplexAttributeProxy2, NullTargetIsNeverSet) {
    KoXMLComplexAttributeProxy2 proxy(nullptr);
    EXPECT_FALSE(proxy.isSet());
    EXPECT_EQ(written(proxy), "");
    EXPECT_EQ(proxy.assign("x"), "x");
    EXPECT_EQ(proxy.assignCString("y"), std::string("y"));
}
