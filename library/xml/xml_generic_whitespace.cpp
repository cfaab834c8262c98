#include "xml/xml_generic_whitespace.h"

KoXMLGenericWhitespace::KoXMLGenericWhitespace(std::string text)
    : KoXMLGenericElement("xmlwhitespace", false), text_(std::move(text)) {}

KoXMLGenericWhitespace::~KoXMLGenericWhitespace() = default;

std::ostream& KoXMLGenericWhitespace::write(std::ostream& out) {
    beforeWrite(out);
    out << text_;
    return out;
}
