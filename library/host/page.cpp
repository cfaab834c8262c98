// velko::Page over KoHTML_Document2: elements from the catalogue, text as
// KoHTML_text2 nodes (written as they are, hence escaped here first), the
// content of a style element as generic text (the only text it takes).
#include "velkotwo/page.h"

#include <memory>
#include <sstream>
#include <utility>

#include "foundation/exception.h"
#include "foundation/text_utils.h"
#include "html/html_custom_elements.h"
#include "html/html_document.h"
#include "html/html_element_catalogue.h"
#include "html/html_text.h"
#include "xml/xml_generic_text.h"

namespace velko {

namespace {

const KoHTMLElementCatalogue& Catalogue() {
    static const KoHTMLElementCatalogue catalogue;
    return catalogue;
}

// Inside a double-quoted value only these need a reference; a quote or
// line end left as it is keeps a style value readable for its parser.
std::string AttributeEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

void AppendText(KoXMLComplexElement* node, const std::string& text) {
    if (node->name() == "style") {
        node->adoptChild(std::make_unique<KoXMLGenericText>(text));
    } else {
        node->adoptChild(std::make_unique<KoHTML_text2>(text));
    }
}

}  // namespace

Page::Element::Element(KoXMLComplexElement* node_) : node(node_) {}

Page::Element Page::Element::add(const std::string& tag) {
    std::unique_ptr<KoXMLComplexElement> element = Catalogue().createElement(tag);
    if (!element) throw KoException("unknown HTML element " + tag, __LINE__, "src");
    return Element(node->adoptChild(std::move(element)));
}

Page::Element& Page::Element::attribute(const std::string& name, const std::string& value) {
    auto* element = dynamic_cast<KoXMLGenericElement*>(node);
    if (element != nullptr) element->setAttribute(name, AttributeEscape(value));
    return *this;
}

Page::Element& Page::Element::text(const std::string& text) {
    AppendText(node, xmlEscape(text));
    return *this;
}

Page::Element& Page::Element::markup(const std::string& markup) {
    AppendText(node, markup);
    return *this;
}

Page::Page() : document(std::make_unique<KoHTML_Document2>()) {}

Page::~Page() = default;

Page::Page(Page&& other) noexcept = default;

Page& Page::operator=(Page&& other) noexcept = default;

Page::Element Page::head() { return Element(document->head()); }

Page::Element Page::body() { return Element(document->body()); }

Page& Page::title(const std::string& text) {
    KoXMLGenericElement* head = document->head();
    for (KoXMLComplexElement* child : head->childNodes()) {
        if (child->name() == "title") {
            child->deleteChildren();
            AppendText(child, xmlEscape(text));
            return *this;
        }
    }
    head->adoptChild(std::make_unique<KoHTML_title2>(xmlEscape(text)));
    return *this;
}

std::string Page::html() const {
    std::ostringstream out;
    document->htmlRoot();
    document->write(out);
    return out.str();
}

}  // namespace velko
