// XML object model: an attribute that stands for another one.
//
// KoXMLComplexAttributeProxy2 forwards every operation to its target, which
// it never owns or deletes. An object that keeps a typed attribute as a member
// (an HTML element) publishes it in its attribute map through a proxy: the map
// owns the proxy, the object owns the target, and the target must outlive the
// proxy's use. A null target behaves as an attribute that is never set and
// ignores assignments. Fails as the target fails.
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_attribute.h"

class KoXMLComplexAttributeProxy2 : public KoXMLComplexAttribute2 {
public:
    explicit KoXMLComplexAttributeProxy2(KoXMLComplexAttribute2* target);
    ~KoXMLComplexAttributeProxy2() override;

    bool isSet() const override;
    void writeValue(std::ostream& out) const override;
    const char* assignCString(const char* text) override;
    const std::string& assign(const std::string& text) override;

    KoXMLComplexAttribute2* target() const { return target_; }

private:
    KoXMLComplexAttribute2* target_;
};
