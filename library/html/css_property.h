// HTML/CSS document model: one CSS declaration, name and value.
//
// KoCSSProperty is a leaf of a style sheet tree (inside a KoCSSRule) and the
// value type of KoStyleAttribute, which shares it through std::shared_ptr.
// Its element name is "cssproperty". It writes "name: value;" and nothing at
// all while its value is empty. It takes no children.
//
// Threads: not synchronised, like every tree node.
// Failure: KoException (source "src") from the constructor for a missing
// name (962) or a declaration without ':' (969), and from addChild for any
// child ("no childs possible", 984; the child is then already in the tree).
#pragma once

#include <ostream>
#include <string>

#include "xml/xml_complex_element.h"

class KoCSSProperty : public KoXMLComplexElement {
public:
    // isName true: text is the property's name (trimmed of " ;\n\t\r"), the
    // value starts empty. isName false: text is a declaration "name: value",
    // split at its first ':'.
    KoCSSProperty(const std::string& text, bool isName);
    ~KoCSSProperty() override;

    void childAdded(KoXMLComplexElement* child) override;
    std::ostream& write(std::ostream& out) override;

    virtual const std::string& propertyName() const;
    virtual bool isEmpty() const;
    virtual const std::string& setValue(const std::string& text);

    const std::string& value() const { return value_; }

private:
    std::string propertyName_;
    std::string value_;
};
