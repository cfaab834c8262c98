#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "xml/xml_bool_ko_attribute.h"
#include "xml/xml_complex_attribute_proxy.h"
#include "xml/xml_double_ko_attribute.h"
#include "xml/xml_generic_attribute.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_string_ko_attribute.h"

TEST(KoXMLGenericElement, SetAttributeAssignsThroughTypedAttributes) {
    KoXMLGenericElement e("e", true);
    KoXMLBoolKoAttribute draggable;
    e.attachProxy("draggable", &draggable);
    e.setAttribute("draggable", "1");
    EXPECT_TRUE(draggable.isSet());
    EXPECT_TRUE(draggable.value());
    EXPECT_EQ(e.attributeText("draggable", "d"), "true");

    // A plain name gets a generic attribute, replaced in place afterwards.
    e.setAttribute("title", "a");
    KoXMLComplexAttribute2* title = e.attribute("title");
    e.setAttribute("title", "b");
    EXPECT_EQ(e.attribute("title"), title);
    EXPECT_EQ(e.attributeText("title", ""), "b");

    // A bare entry is replaced by a generic attribute.
    e.setBareAttribute("hidden");
    EXPECT_EQ(e.attributeText("hidden", "d"), "");
    e.setAttribute("hidden", "yes");
    EXPECT_EQ(e.attributeText("hidden", ""), "yes");

    KoXMLDoubleKoAttribute width;
    e.attachProxy("width", &width);
    EXPECT_THROW(e.setAttribute("width", "wide"), std::invalid_argument);
}

TEST(KoXMLGenericElement, AttributeQueries) {
    KoXMLGenericElement e("e", true);
    EXPECT_FALSE(e.hasAttribute("a"));
    EXPECT_EQ(e.attributeText("a", "fallback"), "fallback");
    EXPECT_FALSE(e.attributeEquals("a", ""));

    e.setBareAttribute("a");
    EXPECT_TRUE(e.hasAttribute("a"));
    EXPECT_EQ(e.attributeText("a", "fallback"), "");
    EXPECT_FALSE(e.attributeEquals("a", ""));

    // attribute() turns a missing or bare entry into an empty generic one.
    KoXMLComplexAttribute2* a = e.attribute("a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(e.attributeEquals("a", ""));
    EXPECT_NE(e.attribute("new"), nullptr);
    EXPECT_TRUE(e.hasAttribute("new"));

    KoXMLStringKoAttribute unset;
    e.attachProxy("s", &unset);
    EXPECT_TRUE(e.hasAttribute("s"));
    EXPECT_EQ(e.attributeText("s", "d"), "");
    EXPECT_TRUE(e.attributeEquals("s", ""));

    EXPECT_TRUE(e.removeAttribute("s"));
    EXPECT_FALSE(e.removeAttribute("s"));
    EXPECT_FALSE(e.hasAttribute("s"));
    // Removing the proxy left its target alone.
    unset.assign("still here");
    EXPECT_EQ(unset.text(), "still here");
}

TEST(KoXMLGenericElement, AttachRefusesATakenNameWithTwo) {
    KoXMLGenericElement e("e", true);
    KoXMLBoolKoAttribute target;
    e.attachProxy("x", &target);
    try {
        e.attachProxy("x", &target);
        ADD_FAILURE() << "no exception";
    } catch (int code) {
        EXPECT_EQ(code, 2);
    }
    // The refused attribute is freed, not leaked (the sanitizer build checks).
    EXPECT_THROW(e.attachAttribute("x", std::make_unique<KoXMLGenericAttribute>("v")), int);
    e.setBareAttribute("bare");
    EXPECT_THROW(e.attachAttribute("bare", nullptr), int);
    e.attachAttribute("y", std::make_unique<KoXMLGenericAttribute>("v"));
    EXPECT_EQ(e.attributeText("y", ""), "v");
    EXPECT_EQ(e.attributes().size(), 3u);
}

struct AssignRow {
    const char* text;
    const char* name;     // attribute expected afterwards, or null for none
    const char* value;
    bool error;
};

TEST(KoXMLGenericElement, AssignAttributeText) {
    const AssignRow rows[] = {
        {"x", nullptr, nullptr, false},
        {"x=\"1\"", "x", "1", false},
        {"x=\"\"", "x", "", false},
        {"x='a b'", "x", "a b", false},
        {"x=\"a=b\"", "x", "a=b", false},
        {"data-v=\"\"\"", "data-v", "\"", false},
        {"=\"v\"", "", "v", false},
        // The value range is empty or negative: recorded, not thrown.
        {"x=", nullptr, nullptr, true},
        {"x=\"", nullptr, nullptr, true},
        {"x=1", nullptr, nullptr, true},
    };
    for (const AssignRow& row : rows) {
        SCOPED_TRACE(row.text);
        KoXMLGenericElement e("e", true);
        const std::string text = row.text;
        EXPECT_EQ(&e.assignAttributeText(text), &text);
        EXPECT_EQ(e.errorFlag(), row.error);
        EXPECT_EQ(e.errorText(), row.error ? "error catched while assigning attritutes" : "");
        if (row.name != nullptr) {
            EXPECT_EQ(e.attributes().size(), 1u);
            EXPECT_EQ(e.attributeText(row.name, "missing"), row.value);
        } else {
            EXPECT_TRUE(e.attributes().empty());
        }
    }
}

TEST(KoXMLGenericElement, AssignAttributeTextRecordsTypedRejection) {
    KoXMLGenericElement e("e", true);
    KoXMLDoubleKoAttribute width;
    e.attachProxy("width", &width);
    e.assignAttributeText("width=\"2.5\"");
    EXPECT_FALSE(e.errorFlag());
    EXPECT_EQ(width.value(), 2.5);
    e.assignAttributeText("width=\"wide\"");
    EXPECT_TRUE(e.errorFlag());
    EXPECT_EQ(e.errorText(), "error catched while assigning attritutes");
    EXPECT_EQ(width.value(), 2.5);
}
