// XML object model: a boolean attribute.
//
// KoXMLBoolKoAttribute starts false and not set. It reads both its own text
// form ("true"/"false") and integers (non-zero is true), so documents written
// either way read back. Not synchronised; no operation throws.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"

class KoXMLBoolKoAttribute : public KoXMLComplexAttribute2 {
public:
    KoXMLBoolKoAttribute() = default;
    ~KoXMLBoolKoAttribute() override;

    bool isSet() const override;
    // Nothing when not set, otherwise "true" or "false".
    void writeValue(std::ostream& out) const override;
    // Set exactly when text is not null; null or empty leaves the value false.
    const char* assignCString(const char* text) override;
    // Sets the flag and parses the text; returns its argument.
    const std::string& assign(const std::string& text) override;

    bool value() const { return value_; }
    void set(bool value);

    // The boolean reading of a text: an integer in std::stoll's manner
    // (non-zero is true); otherwise the text, lowered byte by byte, must be
    // exactly "true".
    static bool parse(const std::string& text);

private:
    bool value_ = false;
    bool isSet_ = false;
};
