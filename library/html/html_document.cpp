#include "html/html_document.h"

#include <memory>
#include <utility>

#include "html/html_custom_elements.h"
#include "html/html_doctype.h"
#include "html/html_elements.h"

namespace {

KoXMLGenericElement* firstNamed(KoXMLGenericElement& root, const std::string& name) {
    KoXMLGenericElementList found;
    root.collectElementsByName(name, found, -1);
    return found.empty() ? nullptr : found.front();
}

template <class T>
T* adoptFront(KoXMLGenericElement& parent, std::unique_ptr<T> child) {
    T* raw = child.get();
    try {
        parent.addChildFront(raw);
    } catch (...) {
        if (raw->parent() != nullptr) {
            child.release();
        }
        throw;
    }
    child.release();
    return raw;
}

// Takes ownership of a free element; one that already sits in a tree stays
// owned by that tree until addChild moves it.
KoXMLComplexElement* adoptInto(KoXMLGenericElement* (KoHTML_Document2::*where)(),
                               KoHTML_Document2& document, KoXMLComplexElement* element) {
    if (element == nullptr || element->parent() != nullptr) {
        return (document.*where)()->addChild(element);
    }
    std::unique_ptr<KoXMLComplexElement> owned(element);
    return (document.*where)()->adoptChild(std::move(owned));
}

}  // namespace

KoHTML_Document2::KoHTML_Document2() : KoHTML_BaseElement2("HTMLDocument", false, false) {}

KoHTML_Document2::~KoHTML_Document2() = default;

std::ostream& KoHTML_Document2::write(std::ostream& out) {
    beforeWrite(out);
    writeChildren(out);
    return out;
}

KoXMLGenericElement* KoHTML_Document2::htmlRoot() {
    if (firstNamed(*this, "HTMLDoctype") == nullptr) {
        adoptFront(*this, std::make_unique<KoHTML_Doctype2>("html"));
    }
    if (KoXMLGenericElement* html = firstNamed(*this, "html")) {
        return html;
    }
    return adoptChild(std::make_unique<KoHTML_html2>());
}

KoXMLGenericElement* KoHTML_Document2::head() {
    KoXMLGenericElement* html = htmlRoot();
    if (KoXMLGenericElement* found = firstNamed(*html, "head")) {
        return found;
    }
    return adoptFront(*html, std::make_unique<KoHTML_head2>());
}

KoXMLGenericElement* KoHTML_Document2::body() {
    KoXMLGenericElement* html = htmlRoot();
    if (KoXMLGenericElement* found = firstNamed(*html, "body")) {
        return found;
    }
    return html->adoptChild(std::make_unique<KoHTML_body2>());
}

KoXMLComplexElement* KoHTML_Document2::addToHead(KoXMLComplexElement* element) {
    return adoptInto(&KoHTML_Document2::head, *this, element);
}

KoXMLComplexElement* KoHTML_Document2::addToBody(KoXMLComplexElement* element) {
    return adoptInto(&KoHTML_Document2::body, *this, element);
}
