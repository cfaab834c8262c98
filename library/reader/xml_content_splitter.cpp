#include "reader/xml_content_splitter.h"

#include "xml/xml_generic_element.h"

KoXMLContentSplitter::KoXMLContentSplitter()
    : top(std::make_unique<KoXMLGenericElement>(kTopName, true)), current(top.get()) {}

KoXMLContentSplitter::~KoXMLContentSplitter() = default;
