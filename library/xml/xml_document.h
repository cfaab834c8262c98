// XML object model: the document node.
//
// KoXML_Document2 is the root of a document read or built in memory, named
// "xmldocument". It writes only its children, in order, with nothing between
// them and no tags of its own. It owns its whole tree; not synchronised.
#pragma once

#include <ostream>

#include "xml/xml_generic_element.h"

class KoXML_Document2 : public KoXMLGenericElement {
public:
    KoXML_Document2();
    ~KoXML_Document2() override;

    std::ostream& write(std::ostream& out) override;
};
