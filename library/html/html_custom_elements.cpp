#include "html/html_custom_elements.h"

#include <memory>
#include <type_traits>

#include "foundation/exception.h"
#include "html/css_child_rules.h"
#include "html/css_html_comment.h"
#include "html/css_media_query.h"
#include "html/css_rule.h"
#include "html/html_element_table.h"
#include "html/html_text.h"

namespace {

const char* const kPlaceholderName = "htmlbaseelement";

void setIfNotEmpty(KoXMLStringKoAttribute& attribute, const std::string& value) {
    if (!value.empty()) {
        attribute.assign(value);
    }
}

template <class Element>
void appendTextChild(Element& element, const std::string& text) {
    element.adoptChild(std::make_unique<KoHTML_text2>(text));
}

// The hand-written classes must have exactly the categories of their rows.
template <class Element, class... Categories>
constexpr bool hasExactlyCategories() {
    constexpr int all = int(std::is_base_of_v<KoHTML_ElementType0, Element>) +
                        int(std::is_base_of_v<KoHTML_ElementType1, Element>) +
                        int(std::is_base_of_v<KoHTML_ElementType2, Element>) +
                        int(std::is_base_of_v<KoHTML_ElementType0A, Element>) +
                        int(std::is_base_of_v<KoHTML_ElementType0B, Element>) +
                        int(std::is_base_of_v<KoHTML_ElementType0C, Element>);
    return (std::is_base_of_v<Categories, Element> && ...) && all == int(sizeof...(Categories));
}

}  // namespace

#define KO_HTML_CHECK_CUSTOM(tag, cls, ...)                                    \
    static_assert(hasExactlyCategories<cls, __VA_ARGS__>(),                    \
                  #cls " must derive from exactly the categories of its row");
#define KO_HTML_SKIP_PLAIN(...)
KO_HTML_ELEMENT_TABLE(KO_HTML_SKIP_PLAIN, KO_HTML_CHECK_CUSTOM)

// a

KoHTML_a2::KoHTML_a2() : KoHTML_BaseElement2(kPlaceholderName, false, false) { publish(); }

KoHTML_a2::KoHTML_a2(const std::string& reference, const std::string& text)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    publish();
    href.assign(reference);
    appendTextChild(*this, text);
}

KoHTML_a2::~KoHTML_a2() = default;

void KoHTML_a2::publish() {
    setTagName("a");
    attachProxy("href", &href);
    attachProxy("name", &nameAttribute);
}

// div

KoHTML_div2::KoHTML_div2(const std::string& elementId, bool draggable)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("div");
    attachProxy("onmousedown", &onmousedown);
    if (draggable) {
        onmousedown.assign(kDragHandler);
    }
    setIfNotEmpty(id, elementId);
}

KoHTML_div2::~KoHTML_div2() = default;

// form

KoHTML_form2::KoHTML_form2(const std::string& formAction, const std::string& formMethod)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("form");
    attachProxy("method", &method);
    attachProxy("action", &action);
    method.assign(formMethod);
    setIfNotEmpty(action, formAction);
}

KoHTML_form2::~KoHTML_form2() = default;

// iframe

KoHTML_iframe2::KoHTML_iframe2(const std::string& source, const std::string& frameWidth,
                               const std::string& frameHeight, const std::string& text)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("iframe");
    attachProxy("src", &src);
    attachProxy("width", &width);
    attachProxy("height", &height);
    setIfNotEmpty(src, source);
    setIfNotEmpty(width, frameWidth);
    setIfNotEmpty(height, frameHeight);
    appendTextChild(*this, text);
}

KoHTML_iframe2::~KoHTML_iframe2() = default;

// img

KoHTML_img2::KoHTML_img2(const std::string& source, const std::string& altText,
                         const std::string& titleText)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("img");
    attachProxy("src", &src);
    attachProxy("alt", &alt);
    attachProxy("title", &title);
    setIfNotEmpty(src, source);
    setIfNotEmpty(alt, altText);
    setIfNotEmpty(title, titleText);
}

KoHTML_img2::~KoHTML_img2() = default;

// input

KoHTML_input2::KoHTML_input2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("input");
    attachProxy("name", &nameAttribute);
    attachProxy("value", &value);
    attachProxy("type", &type);
}

KoHTML_input2::~KoHTML_input2() = default;

// label

KoHTML_label2::KoHTML_label2(const std::string& target, const std::string& text)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("label");
    attachProxy("for", &forAttribute);
    setIfNotEmpty(forAttribute, target);
    if (!text.empty()) {
        appendText(text);
    }
}

KoHTML_label2::~KoHTML_label2() = default;

// link

KoHTML_link2::KoHTML_link2(const std::string& reference)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("link");
    attachProxy("type", &type);
    attachProxy("rel", &rel);
    attachProxy("href", &href);
    type.assign("text/css");
    rel.assign("stylesheet");
    setIfNotEmpty(href, reference);
}

KoHTML_link2::~KoHTML_link2() = default;

// meta

KoHTML_meta2::KoHTML_meta2(const std::string& attributeText)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("meta");
    if (!attributeText.empty()) {
        assignAttributeText(attributeText);
    }
}

KoHTML_meta2::~KoHTML_meta2() = default;

// option

KoHTML_option2::KoHTML_option2(const std::string& optionValue, const std::string& text,
                               bool isSelected)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("option");
    attachProxy("value", &value);
    value.assign(optionValue);
    if (isSelected) {
        attachProxy("selected", &selected);
        selected.set(true);
    }
    appendTextChild(*this, text);
}

KoHTML_option2::~KoHTML_option2() = default;

// progress

KoHTML_progress2::KoHTML_progress2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("progress");
    attachProxy("value", &value);
    attachProxy("max", &max);
}

KoHTML_progress2::~KoHTML_progress2() = default;

// script

KoHTML_script2::KoHTML_script2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("script");
    attachProxy("src", &src);
    attachProxy("type", &type);
    type.assign("text/javascript");
}

KoHTML_script2::~KoHTML_script2() = default;

void KoHTML_script2::afterStartTag(std::ostream& out) { out << "\n<!--\n"; }

void KoHTML_script2::beforeEndTag(std::ostream& out) { out << "\n//-->\n"; }

// select

KoHTML_select2::KoHTML_select2(const std::string& elementId, const std::string& selectName)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("select");
    setAttribute("name", selectName);
    setIfNotEmpty(id, elementId);
}

KoHTML_select2::~KoHTML_select2() = default;

// style

KoHTML_style2::KoHTML_style2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("style");
    attachProxy("src", &src);
    attachProxy("type", &type);
    type.assign("text/css");
}

KoHTML_style2::~KoHTML_style2() = default;

void KoHTML_style2::childAdded(KoXMLComplexElement* child) {
    if (!ko_css::isTextNode(child) && dynamic_cast<KoCSSHTMLComment*>(child) == nullptr &&
        dynamic_cast<KoCSSMediaQuery*>(child) == nullptr &&
        dynamic_cast<KoCSSRule*>(child) == nullptr) {
        throw KoException("must be an CSS element", 1094, "src");
    }
}

std::string KoHTML_style2::contentDTD(const std::string& name) {
    if (name.empty()) {
        return contentDTD_;
    }
    contentDTD_ = name;
    return "css";
}

// title

KoHTML_title2::KoHTML_title2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("title");
}

KoHTML_title2::KoHTML_title2(const std::string& text)
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setTagName("title");
    appendTextChild(*this, text);
}

KoHTML_title2::~KoHTML_title2() = default;
