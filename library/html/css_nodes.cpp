// The CSS container nodes: rule, media query and HTML-comment wrapper.
#include <string>
#include <utility>

#include "foundation/exception.h"
#include "html/css_child_rules.h"
#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_property.h"
#include "html/css_rule.h"
#include "xml/xml_generic_text.h"
#include "xml/xml_generic_whitespace.h"

bool ko_css::isTextNode(const KoXMLComplexElement* node) {
    return dynamic_cast<const KoXMLGenericText*>(node) != nullptr ||
           dynamic_cast<const KoXMLGenericWhitespace*>(node) != nullptr;
}

namespace {

template <class T>
bool is(const KoXMLComplexElement* node) {
    return dynamic_cast<const T*>(node) != nullptr;
}

}  // namespace

KoCSSRule::KoCSSRule(std::string selector)
    : KoXMLComplexElement("cssrule", false, true), selector_(std::move(selector)) {}

KoCSSRule::~KoCSSRule() = default;

void KoCSSRule::childAdded(KoXMLComplexElement* child) {
    if (!ko_css::isTextNode(child) && !is<KoCSSHTMLComment>(child) && !is<KoCSSProperty>(child)) {
        throw KoException("must be an CSS element", 934, "src");
    }
}

std::string KoCSSRule::contentDTD(const std::string& name) {
    if (name.empty()) {
        return contentDTD_;
    }
    contentDTD_ = name;
    return "cssRule";
}

std::ostream& KoCSSRule::write(std::ostream& out) {
    beforeWrite(out);
    out << selector_ << "{";
    writeChildren(out);
    out << "}";
    return out;
}

KoCSSMediaQuery::KoCSSMediaQuery(std::string query)
    : KoXMLComplexElement("cssmediaquery", false, true), query_(std::move(query)) {}

KoCSSMediaQuery::~KoCSSMediaQuery() = default;

void KoCSSMediaQuery::childAdded(KoXMLComplexElement* child) {
    if (!ko_css::isTextNode(child) && !is<KoCSSHTMLComment>(child) && !is<KoCSSRule>(child)) {
        throw KoException("must be an CSS element", 902, "src");
    }
}

std::ostream& KoCSSMediaQuery::write(std::ostream& out) {
    beforeWrite(out);
    out << query_ << "{";
    writeChildren(out);
    out << "}";
    return out;
}

KoCSSHTMLComment::KoCSSHTMLComment() : KoXMLComplexElement("csshtmlcomment", false, true) {}

KoCSSHTMLComment::~KoCSSHTMLComment() = default;

void KoCSSHTMLComment::childAdded(KoXMLComplexElement* child) {
    // A wrapped style sheet is read into the wrapper, so its rules and media
    // queries belong here as much as its comments.
    if (!ko_css::isTextNode(child) && !is<KoCSSRule>(child) && !is<KoCSSMediaQuery>(child)) {
        throw KoException("child must be text", 881, "src");
    }
}

std::ostream& KoCSSHTMLComment::write(std::ostream& out) {
    beforeWrite(out);
    out << "<!--";
    writeChildren(out);
    out << "-->";
    return out;
}
