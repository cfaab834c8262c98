// XML object model: a floating-point attribute.
//
// KoXMLDoubleKoAttribute starts 0.0 and not set. Text is read with std::stod
// semantics in the classic locale whatever the process locale is, and written
// with a default stream's formatting (6 significant digits).
// Not synchronised. assign throws std::invalid_argument ("invalid stod
// argument") when nothing can be parsed and std::out_of_range ("stod argument
// out of range") when the number does not fit; assignCString never throws.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"

class KoXMLDoubleKoAttribute : public KoXMLComplexAttribute2 {
public:
    KoXMLDoubleKoAttribute() = default;
    ~KoXMLDoubleKoAttribute() override;

    bool isSet() const override;
    // Nothing when not set, otherwise the number.
    void writeValue(std::ostream& out) const override;
    // Set exactly when text is not null; null, empty or unparsable text
    // leaves the value 0.0.
    const char* assignCString(const char* text) override;
    // Sets the flag and parses the text; returns its argument. On a parse
    // failure the flag is set and the value is left as it was.
    const std::string& assign(const std::string& text) override;

    double value() const { return value_; }
    void set(double value);

    // std::stod: leading white space, sign, decimal or hexadecimal digits with
    // optional point and exponent, inf and nan; trailing text is ignored.
    static double parse(const std::string& text);

private:
    double value_ = 0.0;
    bool isSet_ = false;
};
