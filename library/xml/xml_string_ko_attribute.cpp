#include "xml/xml_string_ko_attribute.h"

#include <utility>

KoXMLStringKoAttribute::~KoXMLStringKoAttribute() = default;

bool KoXMLStringKoAttribute::isSet() const { return isSet_; }

void KoXMLStringKoAttribute::writeValue(std::ostream& out) const {
    if (isSet_) out << value_;
}

const char* KoXMLStringKoAttribute::assignCString(const char* text) {
    isSet_ = text != nullptr;
    value_ = text != nullptr ? text : "";
    return text;
}

const std::string& KoXMLStringKoAttribute::assign(const std::string& text) {
    isSet_ = true;
    value_ = text;
    return value_;
}

const std::string& KoXMLStringKoAttribute::text() const { return value_; }

void KoXMLStringKoAttribute::set(std::string value) {
    isSet_ = true;
    value_ = std::move(value);
}

void KoXMLStringKoAttribute::clear() {
    isSet_ = false;
    value_.clear();
}
