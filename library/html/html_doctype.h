// HTML/CSS document model: the doctype line of a page.
//
// KoHTML_Doctype2, named "HTMLDoctype", writes "<!DOCTYPE " text ">" and a
// line feed, so the html element starts on the next line.
// Threads: not synchronised, like every tree node. Cannot fail.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_generic_element.h"

class KoHTML_Doctype2 : public KoXMLGenericElement {
public:
    explicit KoHTML_Doctype2(std::string text);
    ~KoHTML_Doctype2() override;

    std::ostream& write(std::ostream& out) override;

    const std::string& text() const { return text_; }

private:
    std::string text_;
};
