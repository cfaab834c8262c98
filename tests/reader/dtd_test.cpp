#include "reader/dtd.h"

#include <gtest/gtest.h>

#include <sstream>

#include "foundation/exception.h"
#include "reader/css_recognisers.h"
#include "reader/dtd_element_reader_stream.h"
#include "reader/markup_recognisers.h"

TEST(KoDTD, RefusesATypeNameTwice) {
    KoDTD grammar("g");
    EXPECT_EQ(grammar.addReader(std::make_unique<KoDTDElementRead_Text>()), "xmltext");
    try {
        grammar.addReader(std::make_unique<KoDTDElementRead_Text>());
        FAIL() << "no exception";
    } catch (const KoException& e) {
        EXPECT_STREQ(e.what(), "name can't be twice");
    }
    EXPECT_EQ(grammar.addReader(nullptr), "");
    EXPECT_EQ(grammar.readers.size(), 1u);
    EXPECT_EQ(grammar.addContainer("xmltext"), "xmltext");
    EXPECT_EQ(grammar.setExclusions("p", {"xmltext"}), "p");
    EXPECT_EQ(grammar.setExclusions("p", {"a"}), "p");
    EXPECT_EQ(grammar.exclusions["p"], std::set<std::string>{"a"});
}

TEST(KoDTD, BuiltInGrammarsTryTheirRecognisersInTypeNameOrder) {
    std::istringstream in;
    KoDTDElementReaderStream reader(in);
    auto order = [&reader](const std::string& name) {
        std::string joined;
        for (const auto& [type, prototype] : reader.grammar(name)->readers) {
            EXPECT_EQ(type, prototype->typeName);
            joined += type + " ";
        }
        return joined;
    };
    EXPECT_EQ(order("xml"), "xmlcomment xmlelement xmlprocinst xmltext xmlwhitespace ");
    EXPECT_EQ(order("html"), "htmldoctype xmlcomment xmlelement xmlprocinst xmltext xmlwhitespace ");
    EXPECT_EQ(order("xmlhtml"), "xmlcomment xmlelement xmlprocinst xmltext xmlwhitespace ");
    EXPECT_EQ(order("css"),
              "css_a_whitespace css_aa_whitespace css_aaa_whitespace css_b_closer css_c_comment "
              "css_d_mediaquery css_e_rule css_f_property xmlelement ");
    EXPECT_EQ(order("cssRule"), "css_a_whitespace css_b_closer css_c_comment css_f_property ");
    EXPECT_EQ(reader.grammar("css")->containers,
              (std::set<std::string>{"css_aa_whitespace", "css_d_mediaquery", "css_e_rule"}));
    EXPECT_TRUE(reader.grammar("cssRule")->containers.empty());
    EXPECT_EQ(reader.grammar("xml")->containers, std::set<std::string>{"xmlelement"});
    for (const char* name : {"html", "xmlhtml"}) {
        KoDTD* g = reader.grammar(name);
        EXPECT_EQ(g->voidElements.size(), 16u) << name;
        EXPECT_EQ(g->voidElements.count("br"), 1u) << name;
        EXPECT_EQ(g->elementCatalogue.size(), 115u) << name;
        EXPECT_EQ(g->factories.size(), g->readers.size()) << name;
    }
    EXPECT_TRUE(reader.grammar("xml")->voidElements.empty());
    EXPECT_EQ(reader.grammar("nothing"), nullptr);
}
