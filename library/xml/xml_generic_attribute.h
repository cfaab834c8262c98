// XML object model: the plain text attribute.
//
// KoXMLGenericAttribute holds a byte string that is always set and written as
// it is. It is what setAttribute creates for a name that has no typed
// attribute. Not synchronised; cannot fail.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"

class KoXMLGenericAttribute : public KoXMLComplexAttribute2 {
public:
    explicit KoXMLGenericAttribute(std::string value);
    ~KoXMLGenericAttribute() override;

    bool isSet() const override;
    void writeValue(std::ostream& out) const override;
    // Null gives the empty text.
    const char* assignCString(const char* text) override;
    // Returns the stored value.
    const std::string& assign(const std::string& text) override;

    const std::string& value() const { return value_; }

private:
    std::string value_;
};
