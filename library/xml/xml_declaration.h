// XML object model: the XML declaration.
//
// KoXML_Declaration2 is a processing instruction of its own class, written
// "<?", its text, "?>"; the store creates one with the text
// version="1.0" encoding="UTF-8". Not synchronised; cannot fail.
#pragma once

#include <string>

#include "xml/xml_proc_inst.h"

class KoXML_Declaration2 : public KoXML_ProcInst2 {
public:
    explicit KoXML_Declaration2(std::string text);
    ~KoXML_Declaration2() override;
};
