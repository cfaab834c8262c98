#include "xml/xml_complex_attribute_proxy.h"

KoXMLComplexAttributeProxy2::KoXMLComplexAttributeProxy2(KoXMLComplexAttribute2* target)
    : target_(target) {}

// The target belongs to whoever published it.
KoXMLComplexAttributeProxy2::~KoXMLComplexAttributeProxy2() = default;

bool KoXMLComplexAttributeProxy2::isSet() const { return target_ != nullptr && target_->isSet(); }

void KoXMLComplexAttributeProxy2::writeValue(std::ostream& out) const {
    if (target_ != nullptr) target_->writeValue(out);
}

const char* KoXMLComplexAttributeProxy2::assignCString(const char* text) {
    return target_ != nullptr ? target_->assignCString(text) : text;
}

const std::string& KoXMLComplexAttributeProxy2::assign(const std::string& text) {
    return target_ != nullptr ? target_->assign(text) : text;
}
