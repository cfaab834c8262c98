#include "xml/xml_comment.h"

KoXML_Comment2::KoXML_Comment2(std::string text)
    : KoXMLGenericElement("comment", false), text_(std::move(text)) {}

KoXML_Comment2::~KoXML_Comment2() = default;

std::ostream& KoXML_Comment2::write(std::ostream& out) {
    beforeWrite(out);
    out << "<!--" << text_ << "-->";
    return out;
}
