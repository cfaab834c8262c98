#include <velkotwo/page.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Page, WritesAPageWithEscapedTextAndAttributes) {
    velko::Page page;
    page.title("A & B");
    page.body().add("p").attribute("title", "say \"<hi>\" & go").text("1 < 2 & 'x'").add("b").text("bold");
    page.body().add("div").markup("<i>as it is</i>");
    const std::string html = page.html();
    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n<html>\n<head>\n<title>A &amp; B</title>\n</head>\n<body>", 0), 0u) << html;
    EXPECT_NE(html.find("<p title=\"say &quot;&lt;hi&gt;&quot; &amp; go\">1 &lt; 2 &amp; &#39;x&#39;<b>bold</b>"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<i>as it is</i>"), std::string::npos) << html;
}

TEST(Page, TitleIsReplacedAndStyleAndScriptTakeTheirContent) {
    velko::Page page;
    page.title("first");
    page.title("second");
    page.head().add("style").markup("p { color: red; }");
    page.body().add("script").markup("var a = 1 < 2;");
    const std::string html = page.html();
    EXPECT_EQ(html.find("first"), std::string::npos) << html;
    EXPECT_NE(html.find("<title>second</title>"), std::string::npos) << html;
    EXPECT_NE(html.find("p { color: red; }"), std::string::npos) << html;
    EXPECT_NE(html.find("\n<!--\nvar a = 1 < 2;\n//-->\n"), std::string::npos) << html;
}

TEST(Page, RefusesUnknownTagsAndChildrenOfVoidElements) {
    velko::Page page;
    try {
        page.body().add("blink2");
        ADD_FAILURE() << "no exception";
    } catch (const KoException& error) {
        EXPECT_STREQ(error.what(), "unknown HTML element blink2");
    }
    velko::Page::Element br = page.body().add("br");
    EXPECT_THROW(br.add("b"), KoException);
    EXPECT_THROW(br.text("x"), KoException);
    // The page is still whole.
    EXPECT_NE(page.html().find("<br />"), std::string::npos) << page.html();
}

TEST(Page, MovesWithItsElements) {
    velko::Page first;
    velko::Page::Element body = first.body();
    velko::Page second = std::move(first);
    body.add("p").text("kept");
    EXPECT_NE(second.html().find("<p>kept</p>"), std::string::npos) << second.html();
}

}  // namespace
