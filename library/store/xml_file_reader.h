// Reads an XML file into a tree with the markup reader's "xml" grammar.
// Any thread may call it; it shares nothing. Never throws for bad input:
// a file that cannot be opened or is not well-formed gives null and the
// reader's error text.
#pragma once

#include <memory>
#include <string>

#include "xml/xml_complex_element.h"

namespace velko::store {

// The file's root element (declaration, comments and white space around it
// are dropped), or null with error set.
std::unique_ptr<KoXMLComplexElement> readXmlFile(const std::string& path, std::string& error);

} // namespace velko::store
