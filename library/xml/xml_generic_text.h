// XML object model: character data.
//
// KoXMLGenericText, named "xmltext", writes its text byte for byte, so a text
// may carry ready-made markup. lineBreak is off: text stays on the line of
// its neighbours. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "xml/xml_generic_element.h"

class KoXMLGenericText : public KoXMLGenericElement {
public:
    explicit KoXMLGenericText(std::string text);
    ~KoXMLGenericText() override;

    std::ostream& write(std::ostream& out) override;

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};
