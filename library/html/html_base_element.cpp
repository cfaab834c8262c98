#include "html/html_base_element.h"

#include <sstream>
#include <utility>

#include "foundation/text_utils.h"

KoHTML_BaseElement2::KoHTML_BaseElement2(std::string name, bool isLeaf, bool closesEmpty)
    : KoXMLGenericElement(std::move(name), true) {
    setLeaf(isLeaf);
    setClosesEmpty(closesEmpty);
    attachProxy("id", &id);
    attachProxy("class", &cssClass);
    attachProxy("style", &style);
}

KoHTML_BaseElement2::~KoHTML_BaseElement2() = default;

void KoHTML_BaseElement2::setTagName(std::string tag) { name_ = std::move(tag); }

std::string KoHTML_BaseElement2::markup() {
    std::ostringstream out;
    write(out);
    return out.str();
}

std::string KoHTML_BaseElement2::creationScript() {
    std::string script = "{\nvar newelem = document.createElement('";
    script += escapeForScript(name());
    script += "');\n";
    for (const auto& [attrName, attr] : attributes()) {
        if (attr == nullptr || !attr->isSet()) {
            continue;
        }
        // Names and values sit inside single-quoted literals: a quote or a
        // backslash in them must not end the literal early.
        script += "newelem.setAttribute('";
        script += escapeForScript(attrName);
        script += "','";
        script += escapeForScript(attr->valueText());
        script += "');\n";
    }
    std::ostringstream inner;
    for (KoXMLComplexElement* child : childNodes()) {
        if (child != nullptr) {
            child->write(inner);
        }
    }
    script += "newelem.innerHTML=\"";
    script += escapeForScript(inner.str());
    script += "\";\n";
    script += "document.body.appendChild(newelem);\n }";
    return script;
}
