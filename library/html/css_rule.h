// HTML/CSS document model: a CSS rule, "selector{...}".
//
// KoCSSRule (element name "cssrule") holds the text before the rule's brace
// and owns its children: properties, text (comments, white space) and
// HTML-comment wrappers. It tells the reader to read its body with the
// "cssRule" grammar.
//
// Threads: not synchronised, like every tree node.
// Failure: addChild of any other child throws KoException "must be an CSS
// element" (source "src", 934); the child is then already in the tree.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_element.h"

class KoCSSRule : public KoXMLComplexElement {
public:
    explicit KoCSSRule(std::string selector);
    ~KoCSSRule() override;

    void childAdded(KoXMLComplexElement* child) override;
    // Empty name: the stored grammar name. Otherwise stores it and answers
    // "cssRule", whatever grammar the reader proposed.
    std::string contentDTD(const std::string& name) override;
    // selector, "{", the children, "}".
    std::ostream& write(std::ostream& out) override;

    const std::string& selector() const { return selector_; }

private:
    std::string selector_;
};
