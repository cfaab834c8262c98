// HTML/CSS document model: an at-rule block such as "@media screen{...}".
//
// KoCSSMediaQuery (element name "cssmediaquery") holds the text before the
// block's brace and owns its children: rules, text (comments, white space)
// and HTML-comment wrappers.
//
// Threads: not synchronised, like every tree node.
// Failure: addChild of any other child throws KoException "must be an CSS
// element" (source "src", 902); the child is then already in the tree.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_element.h"

class KoCSSMediaQuery : public KoXMLComplexElement {
public:
    explicit KoCSSMediaQuery(std::string query);
    ~KoCSSMediaQuery() override;

    void childAdded(KoXMLComplexElement* child) override;
    // query, "{", the children, "}".
    std::ostream& write(std::ostream& out) override;

    const std::string& query() const { return query_; }

private:
    std::string query_;
};
