// XML object model: a text attribute that knows whether it was given a value.
//
// KoXMLStringKoAttribute starts empty and not set; only a set attribute is
// written by its element (an empty set value writes name=""). Typed members
// of HTML elements use it. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"

class KoXMLStringKoAttribute : public KoXMLComplexAttribute2 {
public:
    KoXMLStringKoAttribute() = default;
    ~KoXMLStringKoAttribute() override;

    bool isSet() const override;
    // Nothing when not set, otherwise the value.
    void writeValue(std::ostream& out) const override;
    // Set exactly when text is not null; null stores the empty text.
    const char* assignCString(const char* text) override;
    // Sets the flag; returns the stored value.
    const std::string& assign(const std::string& text) override;
    virtual const std::string& text() const;

    // Sets value and flag without going through text parsing.
    void set(std::string value);
    // Back to the default state: empty, not set.
    void clear();

private:
    std::string value_;
    bool isSet_ = false;
};
