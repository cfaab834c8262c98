#include "html/html_doctype.h"

#include <utility>

KoHTML_Doctype2::KoHTML_Doctype2(std::string text)
    : KoXMLGenericElement("HTMLDoctype", true), text_(std::move(text)) {}

KoHTML_Doctype2::~KoHTML_Doctype2() = default;

std::ostream& KoHTML_Doctype2::write(std::ostream& out) {
    beforeWrite(out);
    out << "<!DOCTYPE " << text_ << ">" << "\n";
    return out;
}
