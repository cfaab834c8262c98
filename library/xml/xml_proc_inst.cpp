#include "xml/xml_proc_inst.h"

KoXML_ProcInst2::KoXML_ProcInst2(std::string text)
    : KoXMLGenericElement("procinst", false), text_(std::move(text)) {}

KoXML_ProcInst2::~KoXML_ProcInst2() = default;

std::ostream& KoXML_ProcInst2::write(std::ostream& out) {
    beforeWrite(out);
    out << "<?" << text_ << "?>";
    return out;
}
