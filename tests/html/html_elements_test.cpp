#include "html/html_custom_elements.h"
#include "html/html_element_catalogue.h"
#include "html/html_elements.h"
#include "html/html_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>

#include "foundation/exception.h"
#include "xml/xml_generic_text.h"

namespace {

std::string markupOf(KoXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

std::unique_ptr<KoXMLComplexElement> create(const std::string& tag) {
    static const KoHTMLElementCatalogue catalogue;
    return catalogue.createElement(tag);
}

const std::set<std::string> kVoidTags = {"area",  "base",  "br",   "col",   "embed", "frame",
                                         "hr",    "img",   "input", "keygen", "link", "meta",
                                         "param", "source", "track", "wbr"};

}  // namespace

TEST(KoHTMLElementCatalogue, HasEveryTagAndTheVoidOnes) {
    const KoHTMLElementCatalogue catalogue;
    EXPECT_EQ(catalogue.factories().size(), 115u);
    EXPECT_EQ(catalogue.voidElements(), kVoidTags);
    EXPECT_TRUE(catalogue.isVoid("br"));
    EXPECT_FALSE(catalogue.isVoid("p"));
    EXPECT_FALSE(catalogue.isVoid("blink"));
    EXPECT_EQ(catalogue.factories().count("blink"), 0u);
    EXPECT_EQ(catalogue.createElement("blink"), nullptr);
}

TEST(KoHTMLElementCatalogue, EachCallMakesANewElement) {
    const KoHTMLElementCatalogue catalogue;
    std::unique_ptr<KoXMLComplexElement> first = catalogue.createElement("div");
    std::unique_ptr<KoXMLComplexElement> second = catalogue.createElement("div");
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(dynamic_cast<KoHTML_div2*>(first.get()), nullptr);
    EXPECT_NE(dynamic_cast<KoHTML_br2*>(catalogue.createElement("br").get()), nullptr);
    EXPECT_NE(dynamic_cast<KoHTML_style2*>(catalogue.createElement("style").get()), nullptr);
}

TEST(KoHTMLElementCatalogue, EveryFactoryBuildsItsTagWithTheRightWriting) {
    const KoHTMLElementCatalogue catalogue;
    for (const auto& [tag, factory] : catalogue.factories()) {
        SCOPED_TRACE(tag);
        // The name passed in is ignored.
        std::unique_ptr<KoXMLComplexElement> element(factory("ignored"));
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->name(), tag);
        EXPECT_TRUE(element->lineBreak());
        auto* html = dynamic_cast<KoHTML_BaseElement2*>(element.get());
        ASSERT_NE(html, nullptr);
        const bool isVoid = kVoidTags.count(tag) != 0;
        EXPECT_EQ(element->isLeaf(), isVoid);
        EXPECT_FALSE(element->closesEmpty());
        EXPECT_EQ(dynamic_cast<KoHTML_ElementType2*>(element.get()) != nullptr, isVoid);
        // Exactly one main category.
        const int main = int(dynamic_cast<KoHTML_ElementType0*>(element.get()) != nullptr) +
                         int(dynamic_cast<KoHTML_ElementType1*>(element.get()) != nullptr) +
                         int(dynamic_cast<KoHTML_ElementType2*>(element.get()) != nullptr);
        EXPECT_EQ(main, 1);
    }
}

TEST(KoHTML_BaseElement2, CategoriesFollowTheTable) {
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType1, KoHTML_p2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0A, KoHTML_p2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0C, KoHTML_p2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0B, KoHTML_button2>));
    EXPECT_FALSE((std::is_base_of_v<KoHTML_ElementType0C, KoHTML_button2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0A, KoHTML_span2>));
    EXPECT_FALSE((std::is_base_of_v<KoHTML_ElementType0A, KoHTML_h12>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0A, KoHTML_h22>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType1, KoHTML_option2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType2, KoHTML_img2>));
    EXPECT_TRUE((std::is_base_of_v<KoHTML_ElementType0A, KoHTML_progress2>));
    // One shared base: one attribute map, one id.
    KoHTML_body2 body;
    KoHTML_ElementType0A& asText = body;
    KoHTML_ElementType0& asMain = body;
    EXPECT_EQ(static_cast<KoHTML_BaseElement2*>(&asText), static_cast<KoHTML_BaseElement2*>(&asMain));
}

TEST(KoHTML_BaseElement2, EmptyElementsWriteTheirTags) {
    KoHTML_p2 p;
    EXPECT_EQ(markupOf(p), "<p></p>");
    KoHTML_br2 br;
    EXPECT_EQ(markupOf(br), "<br />");
    KoHTML_table2 table;
    EXPECT_EQ(markupOf(table), "<table></table>");
    EXPECT_EQ(table.markup(), "<table></table>");
}

TEST(KoHTML_BaseElement2, IdClassAndStyleArePublishedMembers) {
    KoHTML_span2 span;
    span.setAttribute("id", "x");
    EXPECT_EQ(span.id.text(), "x");
    span.cssClass.assign("big");
    EXPECT_EQ(span.attributeText("class", "none"), "big");
    span.setAttribute("style", "margin:0;color:red");
    EXPECT_EQ(span.style.properties().size(), 2u);
    EXPECT_EQ(markupOf(span), "<span class=\"big\" id=\"x\" style=\"color: red;margin: 0;\"></span>");
    // Removing the entry drops only the proxy; the member lives on.
    EXPECT_TRUE(span.removeAttribute("id"));
    EXPECT_EQ(span.id.text(), "x");
    EXPECT_EQ(markupOf(span), "<span class=\"big\" style=\"color: red;margin: 0;\"></span>");
}

TEST(KoHTML_BaseElement2, VoidElementsRefuseChildren) {
    KoHTML_img2 img;
    auto text = std::make_unique<KoHTML_text2>("x");
    try {
        img.addChild(text.get());
        FAIL() << "img took a child";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for img");
    }
    EXPECT_TRUE(img.childNodes().empty());
    EXPECT_EQ(text->parent(), nullptr);

    KoHTML_p2 p;
    p.adoptChild(std::move(text));
    EXPECT_EQ(markupOf(p), "<p>x</p>");

    KoHTML_text2 leaf("t");
    EXPECT_THROW(leaf.adoptChild(std::make_unique<KoHTML_br2>()), KoException);
}

TEST(KoHTML_BaseElement2, AppendTextAddsOneTextChildPerCall) {
    KoHTML_span2 span;
    KoHTML_text2* first = span.appendText("a<b>");
    span.appendText("&c");
    ASSERT_EQ(span.childNodes().size(), 2u);
    EXPECT_EQ(span.childNodes().front(), first);
    EXPECT_EQ(first->text(), "a<b>");
    // Text is written unescaped.
    EXPECT_EQ(markupOf(span), "<span>a<b>&c</span>");
}

TEST(KoHTML_script2, WritesTypeAndWrapsItsTextInAComment) {
    KoHTML_script2 script;
    EXPECT_EQ(markupOf(script), "<script type=\"text/javascript\">\n<!--\n\n//-->\n</script>");
    script.adoptChild(std::make_unique<KoHTML_text2>("alert(1)"));
    EXPECT_EQ(markupOf(script),
              "<script type=\"text/javascript\">\n<!--\nalert(1)\n//-->\n</script>");

    KoHTML_script2 external;
    external.setAttribute("src", "a.js");
    EXPECT_EQ(external.src.text(), "a.js");
    EXPECT_EQ(markupOf(external),
              "<script src=\"a.js\" type=\"text/javascript\">\n<!--\n\n//-->\n</script>");
}

TEST(KoHTML_link2, WritesDefaultsInMapOrder) {
    KoHTML_link2 link;
    EXPECT_EQ(markupOf(link), "<link rel=\"stylesheet\" type=\"text/css\" />");
    link.href.assign("a.css");
    EXPECT_EQ(markupOf(link), "<link href=\"a.css\" rel=\"stylesheet\" type=\"text/css\" />");
    KoHTML_link2 built("b.css");
    EXPECT_EQ(markupOf(built), "<link href=\"b.css\" rel=\"stylesheet\" type=\"text/css\" />");
}

TEST(KoHTML_div2, DraggableSetsTheMouseDownHandler) {
    KoHTML_div2 plain;
    EXPECT_EQ(markupOf(plain), "<div></div>");
    KoHTML_div2 dragged("box", true);
    EXPECT_EQ(markupOf(dragged),
              "<div id=\"box\" onmousedown=\"velko_start_drag(this);\"></div>");
    KoHTML_div2 named("box");
    EXPECT_EQ(markupOf(named), "<div id=\"box\"></div>");
}

TEST(KoHTML_select2, NameIsAlwaysSet) {
    EXPECT_EQ(markupOf(*create("select")), "<select name=\"\"></select>");
    KoHTML_select2 select("s", "choice");
    EXPECT_EQ(markupOf(select), "<select id=\"s\" name=\"choice\"></select>");
}

TEST(KoHTML_option2, SelectedIsPublishedOnlyWhenTrue) {
    KoHTML_option2 plain("1", "one");
    EXPECT_FALSE(plain.hasAttribute("selected"));
    EXPECT_EQ(markupOf(plain), "<option value=\"1\">one</option>");
    // Not published: setting it through the map makes a separate attribute.
    plain.setAttribute("selected", "true");
    EXPECT_FALSE(plain.selected.isSet());

    KoHTML_option2 chosen("2", "two", true);
    EXPECT_EQ(markupOf(chosen), "<option selected=\"true\" value=\"2\">two</option>");
    chosen.setAttribute("selected", "0");
    EXPECT_FALSE(chosen.selected.value());

    // The catalogue's option has an empty value and an empty text child.
    auto made = create("option");
    EXPECT_EQ(markupOf(*made), "<option value=\"\"></option>");
    EXPECT_EQ(made->childNodes().size(), 1u);
}

TEST(KoHTML_progress2, NumbersParseAndRejectText) {
    KoHTML_progress2 progress;
    progress.setAttribute("value", "0.5");
    progress.setAttribute("max", "2");
    EXPECT_DOUBLE_EQ(progress.value.value(), 0.5);
    EXPECT_EQ(markupOf(progress), "<progress max=\"2\" value=\"0.5\"></progress>");
    EXPECT_THROW(progress.setAttribute("max", "lots"), std::invalid_argument);
    progress.assignAttributeText("value=\"much\"");
    EXPECT_TRUE(progress.errorFlag());
    EXPECT_EQ(progress.errorText(), "error catched while assigning attritutes");
}

TEST(KoHTML_BaseElement2, ConstructorsWithArguments) {
    KoHTML_a2 link("/x", "go");
    EXPECT_EQ(markupOf(link), "<a href=\"/x\">go</a>");
    KoHTML_a2 empty("", "");
    EXPECT_EQ(markupOf(empty), "<a href=\"\"></a>");
    EXPECT_EQ(empty.childNodes().size(), 1u);
    EXPECT_EQ(markupOf(*create("a")), "<a></a>");
    EXPECT_TRUE(create("a")->childNodes().empty());

    KoHTML_title2 title("T");
    EXPECT_EQ(markupOf(title), "<title>T</title>");
    EXPECT_TRUE(create("title")->childNodes().empty());

    KoHTML_form2 form("/go");
    EXPECT_EQ(markupOf(form), "<form action=\"/go\" method=\"POST\"></form>");
    EXPECT_EQ(markupOf(*create("form")), "<form method=\"POST\"></form>");
    KoHTML_form2 get("", "GET");
    EXPECT_EQ(markupOf(get), "<form method=\"GET\"></form>");

    KoHTML_iframe2 frame("p.html", "100", "", "no frames");
    EXPECT_EQ(markupOf(frame), "<iframe src=\"p.html\" width=\"100\">no frames</iframe>");
    EXPECT_EQ(create("iframe")->childNodes().size(), 1u);

    KoHTML_img2 img("a.png", "", "A");
    EXPECT_EQ(markupOf(img), "<img src=\"a.png\" title=\"A\" />");

    KoHTML_label2 label("f", "Name");
    EXPECT_EQ(markupOf(label), "<label for=\"f\">Name</label>");
    EXPECT_TRUE(create("label")->childNodes().empty());

    KoHTML_meta2 meta("charset=\"utf-8\"");
    EXPECT_EQ(markupOf(meta), "<meta charset=\"utf-8\" />");
    EXPECT_EQ(markupOf(*create("meta")), "<meta />");

    KoHTML_input2 input;
    input.setAttribute("name", "q");
    input.setAttribute("type", "text");
    EXPECT_EQ(input.nameAttribute.text(), "q");
    EXPECT_EQ(markupOf(input), "<input name=\"q\" type=\"text\" />");
}

// The script appended the element to the document itself, which already has
// its one root element, so every browser refused it.
TEST(KoHTML_BaseElement2, CreationScriptLines) {
    KoHTML_div2 div("x");
    div.adoptChild(std::make_unique<KoHTML_text2>("hi"));
    EXPECT_EQ(div.creationScript(),
              "{\n"
              "var newelem = document.createElement('div');\n"
              "newelem.setAttribute('id','x');\n"
              "newelem.innerHTML=\"hi\";\n"
              "document.body.appendChild(newelem);\n"
              " }");

    KoHTML_p2 p;
    EXPECT_EQ(p.creationScript(),
              "{\n"
              "var newelem = document.createElement('p');\n"
              "newelem.innerHTML=\"\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}

TEST(KoHTML_BaseElement2, CreationScriptEscapesItsLiterals) {
    KoHTML_span2 span;
    span.setBareAttribute("hidden");
    span.adoptChild(std::make_unique<KoHTML_a2>("/a", "it's"));
    span.appendText("\n");
    EXPECT_EQ(span.creationScript(),
              "{\n"
              "var newelem = document.createElement('span');\n"
              "newelem.innerHTML=\"<a href=\\\"/a\\\">it\\'s</a>\\n\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}

// An attribute value with a quote used to end the script's string literal
// early, so the rest of the value ran as script.
TEST(KoHTML_BaseElement2, CreationScriptAttributeValueCannotBreakOut) {
    KoHTML_div2 div;
    div.cssClass.assign("a');alert('x");
    EXPECT_EQ(div.creationScript(),
              "{\n"
              "var newelem = document.createElement('div');\n"
              "newelem.setAttribute('class','a\\');alert(\\'x');\n"
              "newelem.innerHTML=\"\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
}
