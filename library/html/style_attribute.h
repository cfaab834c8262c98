// HTML/CSS document model: the style attribute of an HTML element.
//
// KoStyleAttribute keeps CSS declarations as KoCSSProperty objects in a map
// ordered by property name and writes them in that order, each as
// "name: value;", one directly after the other. Parsing adds or replaces
// properties; what was stored stays. Properties are shared: property() hands
// out a std::shared_ptr that stays valid however long the caller holds it.
//
// Ownership: every HTML element owns one as a member and publishes it in its
// attribute map under "style". The properties are owned by their shared
// pointers: one handed out by property() must never be put into a tree,
// which would delete it a second time.
// Threads: not synchronised; it belongs to the thread that owns its element.
// Failure: assign throws KoException "style syntax wrong at: >text< "
// (source "src", 59) for a declaration that is not one name and one value
// split by ':'; the properties stored before the bad declaration stay.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "html/css_property.h"
#include "xml/xml_complex_attribute.h"

class KoStyleAttribute : public KoXMLComplexAttribute2 {
public:
    using PropertyMap = std::map<std::string, std::shared_ptr<KoCSSProperty>>;

    KoStyleAttribute();
    ~KoStyleAttribute() override;

    // True when any property is stored, even one without a value.
    bool isSet() const override;
    // The properties with a value, in name order.
    void writeValue(std::ostream& out) const override;
    // Null or empty: nothing. Otherwise assign. Returns text.
    const char* assignCString(const char* text) override;
    // Parses "name: value; name: value"; returns text.
    const std::string& assign(const std::string& text) override;
    // The property stored under name (trimmed as a property name), created
    // empty when there is none.
    virtual std::shared_ptr<KoCSSProperty> property(const std::string& name);

    const PropertyMap& properties() const { return properties_; }

private:
    PropertyMap properties_;
};
