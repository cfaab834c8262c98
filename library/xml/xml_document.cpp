#include "xml/xml_document.h"

KoXML_Document2::KoXML_Document2() : KoXMLGenericElement("xmldocument", false) {}

KoXML_Document2::~KoXML_Document2() = default;

std::ostream& KoXML_Document2::write(std::ostream& out) {
    beforeWrite(out);
    writeChildren(out);
    return out;
}
