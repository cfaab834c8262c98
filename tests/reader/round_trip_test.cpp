// A page built with the document model, written, read back with "html" and
// written again gives the same text.
#include <gtest/gtest.h>

#include <sstream>

#include "html/css_property.h"
#include "html/css_rule.h"
#include "html/html_custom_elements.h"
#include "html/html_document.h"
#include "html/html_elements.h"
#include "html/html_text.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader/read_tokens.h"
#include "reader_test_support.h"
#include "xml/xml_generic_element.h"

namespace {

std::string writtenPage() {
    KoHTML_Document2 page;
    page.addToHead(new KoHTML_title2("Round trip"));
    page.addToHead(new KoHTML_link2("site.css"));
    auto* style = new KoHTML_style2();
    page.addToHead(style);
    auto* rule = new KoCSSRule("p.note");
    style->addChild(rule);
    rule->addChild(new KoCSSProperty("color:red", false));
    rule->addChild(new KoCSSProperty("margin: 0 auto", false));
    auto* div = new KoHTML_div2("main", true);
    page.addToBody(div);
    div->addChild(new KoHTML_text2("Hello world, a&amp;b"));
    div->addChild(new KoHTML_br2());
    div->addChild(new KoHTML_a2("/next?x=1", "next page"));
    auto* p = new KoHTML_p2();
    p->setAttribute("style", "color: blue; margin:0");
    div->addChild(p);
    div->addChild(new KoHTML_img2("i.png", "an image", ""));
    auto* list = new KoHTML_ul2();
    page.addToBody(list);
    for (const char* item : {"one", "two"}) {
        auto* li = new KoHTML_li2();
        list->addChild(li);
        li->addChild(new KoHTML_text2(item));
    }
    auto* select = new KoHTML_select2("s", "choice");
    page.addToBody(select);
    select->addChild(new KoHTML_option2("1", "first", true));
    select->addChild(new KoHTML_option2("2", "second", false));
    std::ostringstream out;
    page.write(out);
    return out.str();
}

std::string readAndWrite(const std::string& text, std::size_t split) {
    reader_test::SplitBuf buf(text, split);
    std::istream in(&buf);
    KoDTDElementReaderStream reader(in);
    KoXMLGenericElement* top = readTokens(reader.splitter, reader, "html", false);
    std::ostringstream out;
    for (KoXMLComplexElement* child : top->childNodes()) child->write(out);
    return out.str();
}

}  // namespace

TEST(readTokens, RoundTripsAWrittenPage) {
    const std::string page = writtenPage();
    ASSERT_NE(page.find("<!DOCTYPE html>\n<html>\n<head>"), std::string::npos) << page;
    ASSERT_NE(page.find("<style type=\"text/css\">p.note{color: red;margin: 0 auto;}</style>"),
              std::string::npos)
        << page;
    for (std::size_t split = 0; split <= page.size(); ++split) {
        ASSERT_EQ(readAndWrite(page, split), page) << "split at " << split;
    }
    // And again from the text read back.
    EXPECT_EQ(readAndWrite(readAndWrite(page, page.size()), page.size()), page);
}
