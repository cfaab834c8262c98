#include "xml/xml_declaration.h"

#include <utility>

KoXML_Declaration2::KoXML_Declaration2(std::string text) : KoXML_ProcInst2(std::move(text)) {}

KoXML_Declaration2::~KoXML_Declaration2() = default;
