#include "reader/dtd_element_reader.h"

#include "reader/builtin_grammars.h"
#include "xml/xml_generic_element.h"

KoDTDElementReader::KoDTDElementReader(KoReaderLimits limits_) : limits(limits_) {
    addBuiltinGrammars(grammars);
}

KoDTDElementReader::~KoDTDElementReader() = default;

KoDTD* KoDTDElementReader::grammar(const std::string& name) {
    auto found = grammars.find(name);
    return found == grammars.end() ? nullptr : found->second.get();
}
