// XML object model: white space between markup.
//
// KoXMLGenericWhitespace, named "xmlwhitespace", keeps white space that the
// reader met between nodes and writes it back byte for byte. Unlike text it
// counts as content for firstContentChild. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "xml/xml_generic_element.h"

class KoXMLGenericWhitespace : public KoXMLGenericElement {
public:
    explicit KoXMLGenericWhitespace(std::string text);
    ~KoXMLGenericWhitespace() override;

    std::ostream& write(std::ostream& out) override;

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};
