#include "html/html_element_catalogue.h"

#include <type_traits>

#include "html/html_custom_elements.h"
#include "html/html_element_table.h"
#include "html/html_elements.h"

namespace {

template <class Element>
KoXMLComplexElement* makeElement(const std::string&) {
    return new Element();
}

}  // namespace

KoHTMLElementCatalogue::KoHTMLElementCatalogue() {
#define KO_HTML_CATALOGUE_ROW(tag, cls, ...)                 \
    factories_.emplace(#tag, &makeElement<cls>);             \
    if constexpr (std::is_base_of_v<KoHTML_ElementType2, cls>) { \
        voidElements_.insert(#tag);                          \
    }
    KO_HTML_ELEMENT_TABLE(KO_HTML_CATALOGUE_ROW, KO_HTML_CATALOGUE_ROW)
#undef KO_HTML_CATALOGUE_ROW
}

std::unique_ptr<KoXMLComplexElement> KoHTMLElementCatalogue::createElement(
    const std::string& tag) const {
    const auto it = factories_.find(tag);
    if (it == factories_.end()) {
        return nullptr;
    }
    return std::unique_ptr<KoXMLComplexElement>(it->second(tag));
}

bool KoHTMLElementCatalogue::isVoid(const std::string& tag) const {
    return voidElements_.count(tag) != 0;
}
