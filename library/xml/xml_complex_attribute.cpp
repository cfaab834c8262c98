#include "xml/xml_complex_attribute.h"

#include <sstream>

KoXMLComplexAttribute2::~KoXMLComplexAttribute2() = default;

bool KoXMLComplexAttribute2::isSet() const { return true; }

void KoXMLComplexAttribute2::writeValue(std::ostream&) const {}

const char* KoXMLComplexAttribute2::assignCString(const char* text) { return text; }

const std::string& KoXMLComplexAttribute2::assign(const std::string&) {
    static const std::string empty;
    return empty;
}

std::string KoXMLComplexAttribute2::valueText() const {
    std::ostringstream out;
    writeValue(out);
    return std::move(out).str();
}
