// HTML/CSS document model: HTML pages and style sheets as trees of typed
// element objects, built in code or by the markup reader and written back as
// text; also the CSS that generated pages use.
// May use: xml, foundation.
//
// KoHTML_BaseElement2 is the base of every HTML node: a generic XML element
// with lineBreak set (each element is written on a line of its own) and the
// three attributes every element has, id, class and style. They are members
// of the element, published in its attribute map through proxies, so a value
// set through the map (as the reader does) lands in the member and a value
// set on the member shows in the map and in the output.
//
// Ownership: an element owns its children and attribute objects (the proxies;
// the members they point at belong to the element itself).
// Threads: not synchronised, like every tree node.
// Failure: as KoXMLGenericElement; creationScript and markup do not fail
// beyond what the children's writers do.
#pragma once

#include <string>

#include "html/style_attribute.h"
#include "xml/xml_generic_element.h"
#include "xml/xml_string_ko_attribute.h"

class KoHTML_BaseElement2 : public KoXMLGenericElement {
public:
    // lineBreak on; isLeaf and closesEmpty exactly as given.
    KoHTML_BaseElement2(std::string name, bool isLeaf, bool closesEmpty);
    ~KoHTML_BaseElement2() override;

    // What write produces.
    virtual std::string markup();
    // A script block that creates this element in the browser: createElement,
    // one setAttribute per set attribute (map order), innerHTML from the
    // children's markup, appendChild.
    virtual std::string creationScript();

    KoXMLStringKoAttribute id;
    KoXMLStringKoAttribute cssClass;
    KoStyleAttribute style;

protected:
    // Element classes are built under a placeholder name and then take
    // their tag name.
    void setTagName(std::string tag);
};
