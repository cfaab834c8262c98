#include "xml/xml_generic_attribute.h"

#include <utility>

KoXMLGenericAttribute::KoXMLGenericAttribute(std::string value) : value_(std::move(value)) {}

KoXMLGenericAttribute::~KoXMLGenericAttribute() = default;

bool KoXMLGenericAttribute::isSet() const { return true; }

void KoXMLGenericAttribute::writeValue(std::ostream& out) const { out << value_; }

const char* KoXMLGenericAttribute::assignCString(const char* text) {
    value_ = text != nullptr ? text : "";
    return text;
}

const std::string& KoXMLGenericAttribute::assign(const std::string& text) {
    value_ = text;
    return value_;
}
