#include "html/style_attribute.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "foundation/exception.h"
#include "html/html_elements.h"

namespace {

std::string valueOf(const KoStyleAttribute& style) {
    std::ostringstream out;
    style.writeValue(out);
    return out.str();
}

std::string syntaxError(KoStyleAttribute& style, const std::string& text) {
    try {
        style.assign(text);
    } catch (const KoException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(KoStyleAttribute, ParsesAndWritesInNameOrder) {
    KoStyleAttribute style;
    EXPECT_FALSE(style.isSet());
    const std::string text = "color: red; margin:0 ;";
    EXPECT_EQ(&style.assign(text), &text);
    ASSERT_EQ(style.properties().size(), 2u);
    EXPECT_EQ(style.properties().at("color")->value(), "red");
    EXPECT_EQ(style.properties().at("margin")->value(), "0");
    EXPECT_TRUE(style.isSet());
    EXPECT_EQ(valueOf(style), "color: red;margin: 0;");
}

TEST(KoStyleAttribute, LaterDeclarationsAddOrReplace) {
    KoStyleAttribute style;
    style.assign("margin:0;color:red");
    style.assign("  color : blue;;  ; width:1px");
    EXPECT_EQ(valueOf(style), "color: blue;margin: 0;width: 1px;");
}

TEST(KoStyleAttribute, EmptyTextsChangeNothing) {
    KoStyleAttribute style;
    style.assign("");
    style.assignCString(nullptr);
    EXPECT_EQ(style.assignCString(""), std::string(""));
    EXPECT_FALSE(style.isSet());
    const char* text = "top:1";
    EXPECT_EQ(style.assignCString(text), text);
    EXPECT_EQ(valueOf(style), "top: 1;");
}

TEST(KoStyleAttribute, SyntaxErrors) {
    KoStyleAttribute style;
    EXPECT_EQ(syntaxError(style, "color"), "style syntax wrong at: >color< ");
    // A colon inside the value splits it once too often.
    EXPECT_EQ(syntaxError(style, "background:url(http://x/a.png)"),
              "style syntax wrong at: >background:url(http://x/a.png)< ");
    EXPECT_EQ(syntaxError(style, "width:"), "style syntax wrong at: >width:< ");
    EXPECT_EQ(syntaxError(style, "a:1 b:2"), "style syntax wrong at: >a:1 b:2< ");
    EXPECT_FALSE(style.isSet());
}

TEST(KoStyleAttribute, ErrorKeepsWhatWasStoredBefore) {
    KoStyleAttribute style;
    EXPECT_NE(syntaxError(style, "color:red;oops;margin:0"), "");
    EXPECT_EQ(valueOf(style), "color: red;");
}

TEST(KoStyleAttribute, PropertyIsSharedAndCreatedEmpty) {
    KoStyleAttribute style;
    std::shared_ptr<KoCSSProperty> width = style.property("width");
    EXPECT_TRUE(style.isSet());
    EXPECT_EQ(valueOf(style), "");
    width->setValue("3em");
    EXPECT_EQ(valueOf(style), "width: 3em;");
    EXPECT_EQ(style.property("width"), width);
    EXPECT_EQ(style.property(" width;"), width);
    // A later declaration replaces the map's entry; the holder keeps its own.
    style.assign("width:4em");
    EXPECT_EQ(width->value(), "3em");
    EXPECT_EQ(valueOf(style), "width: 4em;");
}

TEST(KoStyleAttribute, ElementWritesAnEmptyValueWhenNoPropertyHasOne) {
    KoHTML_p2 p;
    p.style.property("width");
    std::ostringstream out;
    p.write(out);
    EXPECT_EQ(out.str(), "<p style=\"\"></p>");
    p.setAttribute("style", "color:red");
    EXPECT_EQ(p.attributeText("style", ""), "color: red;");
}
