// XML object model: a comment.
//
// KoXML_Comment2, named "comment", writes "<!--", its text, "-->" without
// escaping. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "xml/xml_generic_element.h"

class KoXML_Comment2 : public KoXMLGenericElement {
public:
    explicit KoXML_Comment2(std::string text);
    ~KoXML_Comment2() override;

    std::ostream& write(std::ostream& out) override;

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};
