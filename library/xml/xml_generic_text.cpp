#include "xml/xml_generic_text.h"

KoXMLGenericText::KoXMLGenericText(std::string text)
    : KoXMLGenericElement("xmltext", false), text_(std::move(text)) {}

KoXMLGenericText::~KoXMLGenericText() = default;

std::ostream& KoXMLGenericText::write(std::ostream& out) {
    beforeWrite(out);
    out << text_;
    return out;
}
