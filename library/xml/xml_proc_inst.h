// XML object model: a processing instruction.
//
// KoXML_ProcInst2, named "procinst", holds the instruction's body and writes
// "<?", the body, "?>" without escaping. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>
#include <utility>

#include "xml/xml_generic_element.h"

class KoXML_ProcInst2 : public KoXMLGenericElement {
public:
    explicit KoXML_ProcInst2(std::string text);
    ~KoXML_ProcInst2() override;

    std::ostream& write(std::ostream& out) override;

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};
