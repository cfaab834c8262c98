#include "reader/builtin_grammars.h"

#include <utility>

#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_property.h"
#include "html/css_rule.h"
#include "html/html_doctype.h"
#include "html/html_element_catalogue.h"
#include "html/html_text.h"
#include "reader/css_recognisers.h"
#include "reader/markup_recognisers.h"
#include "xml/xml_comment.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"
#include "xml/xml_proc_inst.h"

namespace {

using Node = std::unique_ptr<KoXMLComplexElement>;

template <class T>
Node makeWithText(const std::string& text, KoDTD&) {
    return std::make_unique<T>(text);
}

Node makeXMLElement(const std::string& text, KoDTD&) {
    return std::make_unique<KoXMLGenericElement>(text, true);
}

Node makeCSSHTMLComment(const std::string&, KoDTD&) { return std::make_unique<KoCSSHTMLComment>(); }

// The comment closer never builds a node (it is a closer); the factory is
// registered all the same.
Node makeEmptyWhitespace(const std::string&, KoDTD&) {
    return std::make_unique<KoXMLGenericWhitespace>(std::string());
}

Node makeCSSProperty(const std::string& text, KoDTD&) {
    return std::make_unique<KoCSSProperty>(text, false);
}

void row(KoDTD& grammar, std::unique_ptr<KoDTDElementRead> prototype, KoDTDFactory factory) {
    const std::string type = grammar.addReader(std::move(prototype));
    grammar.addFactory(type, std::move(factory));
}

const KoHTMLElementCatalogue& catalogue() {
    static const KoHTMLElementCatalogue instance;
    return instance;
}

void fillCatalogue(KoDTD& grammar) {
    for (const auto& [tag, factory] : catalogue().factories()) grammar.elementCatalogue[tag] = factory;
    grammar.voidElements = catalogue().voidElements();
}

// Grammar rows shared by "html" and "xmlhtml"; only the text node differs.
void addMarkupRows(KoDTD& grammar, KoDTDFactory textFactory) {
    row(grammar, std::make_unique<KoDTDElementRead_WhitespaceText>(), makeWithText<KoXMLGenericWhitespace>);
    row(grammar, std::make_unique<KoDTDElementRead_Element>(), createHTMLElement);
    row(grammar, std::make_unique<KoDTDElementRead_Text>(), std::move(textFactory));
    row(grammar, std::make_unique<KoDTDElementRead_ProcInst>(), makeWithText<KoXML_ProcInst2>);
    row(grammar, std::make_unique<KoDTDElementRead_Comment>(), makeWithText<KoXML_Comment2>);
    grammar.addContainer("xmlelement");
    fillCatalogue(grammar);
}

std::unique_ptr<KoDTD> xmlGrammar() {
    auto g = std::make_unique<KoDTD>("xml");
    row(*g, std::make_unique<KoDTDElementRead_WhitespaceText>(), makeWithText<KoXMLGenericWhitespace>);
    row(*g, std::make_unique<KoDTDElementRead_Element>(), makeXMLElement);
    row(*g, std::make_unique<KoDTDElementRead_Text>(), makeWithText<KoXMLGenericText>);
    row(*g, std::make_unique<KoDTDElementRead_ProcInst>(), makeWithText<KoXML_ProcInst2>);
    row(*g, std::make_unique<KoDTDElementRead_Comment>(), makeWithText<KoXML_Comment2>);
    g->addContainer("xmlelement");
    return g;
}

std::unique_ptr<KoDTD> htmlGrammar() {
    auto g = std::make_unique<KoDTD>("html");
    row(*g, std::make_unique<KoDTDElementRead_Doctype>(), makeWithText<KoHTML_Doctype2>);
    addMarkupRows(*g, makeWithText<KoHTML_text2>);
    return g;
}

std::unique_ptr<KoDTD> xmlhtmlGrammar() {
    auto g = std::make_unique<KoDTD>("xmlhtml");
    addMarkupRows(*g, makeWithText<KoXMLGenericText>);
    return g;
}

std::unique_ptr<KoDTD> cssGrammar() {
    auto g = std::make_unique<KoDTD>("css");
    row(*g, std::make_unique<KoDTDElementRead_WhitespaceCSS>(), makeWithText<KoXMLGenericWhitespace>);
    row(*g, std::make_unique<KoDTDElementRead_WhitespaceCSSHTMLComment>(), makeCSSHTMLComment);
    row(*g, std::make_unique<KoDTDElementRead_WhitespaceCSSHTMLCommentCloser>(), makeEmptyWhitespace);
    row(*g, std::make_unique<KoDTDElementRead_CloserCSS>(), makeWithText<KoXMLGenericWhitespace>);
    row(*g, std::make_unique<KoDTDElementRead_RuleCSS>(), makeWithText<KoCSSRule>);
    row(*g, std::make_unique<KoDTDElementRead_MediaQueryCSS>(), makeWithText<KoCSSMediaQuery>);
    row(*g, std::make_unique<KoDTDElementRead_CommentCSS>(), makeWithText<KoXMLGenericText>);
    row(*g, std::make_unique<KoDTDElementRead_PropertyCSS>(), makeCSSProperty);
    row(*g, std::make_unique<KoDTDElementRead_Element>(), createHTMLElement);
    g->addContainer("css_aa_whitespace");
    g->addContainer("css_e_rule");
    g->addContainer("css_d_mediaquery");
    // Keyed by token type while the driver looks them up by element name,
    // so they never apply; kept so the grammar carries its full table.
    g->setExclusions("css_e_rule", {"css_e_rule", "css_d_mediaquery"});
    g->setExclusions("css_d_mediaquery", {"cssmediaquery", "cssproperty"});
    return g;
}

std::unique_ptr<KoDTD> cssRuleGrammar() {
    auto g = std::make_unique<KoDTD>("cssRule");
    row(*g, std::make_unique<KoDTDElementRead_WhitespaceCSS>(), makeWithText<KoXMLGenericWhitespace>);
    row(*g, std::make_unique<KoDTDElementRead_CloserCSS>(), makeWithText<KoXMLGenericWhitespace>);
    row(*g, std::make_unique<KoDTDElementRead_CommentCSS>(), makeWithText<KoXMLGenericText>);
    row(*g, std::make_unique<KoDTDElementRead_PropertyCSS>(), makeCSSProperty);
    return g;
}

}  // namespace

std::unique_ptr<KoXMLComplexElement> createHTMLElement(const std::string& tag, KoDTD& grammar) {
    auto entry = grammar.elementCatalogue.find(tag);
    if (entry != grammar.elementCatalogue.end() && entry->second) {
        std::unique_ptr<KoXMLComplexElement> made(entry->second(std::string()));
        if (dynamic_cast<KoXMLGenericElement*>(made.get()) != nullptr) return made;
    }
    return std::make_unique<KoXMLGenericElement>(tag, true);
}

void addBuiltinGrammars(std::map<std::string, std::unique_ptr<KoDTD>>& grammars) {
    for (auto* build : {xmlGrammar, htmlGrammar, xmlhtmlGrammar, cssGrammar, cssRuleGrammar}) {
        auto grammar = build();
        std::string name = grammar->name;
        grammars[name] = std::move(grammar);
    }
}
