// Markup reader: one grammar.
//
// A KoDTD names the recognisers that may run (tried in ascending byte order
// of their type names), the factory that builds the node for each token
// type, the token types that open a nesting level (containers), the token
// types not tried while an element of a given name is current (exclusions),
// the elements that have no end tag (voidElements) and, for the HTML
// grammars, the element catalogue from tag name to element class.
//
// Ownership: the grammar owns its prototypes; a factory returns a new node
// that the caller owns. Threads: the reader's.
// Failure: addReader throws KoException "name can't be twice" for a type
// name that is present.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "reader/dtd_element_read.h"

class KoXMLComplexElement;
class KoDTD;

using KoDTDFactory =
    std::function<std::unique_ptr<KoXMLComplexElement>(const std::string& text, KoDTD& grammar)>;
using KoDTDElementCreator = std::function<KoXMLComplexElement*(const std::string& name)>;

class KoDTD {
public:
    explicit KoDTD(std::string name) : name(std::move(name)) {}
    KoDTD(const KoDTD&) = delete;
    KoDTD& operator=(const KoDTD&) = delete;
    ~KoDTD();

    // Takes ownership; returns the type name, or "" for a null prototype.
    std::string addReader(std::unique_ptr<KoDTDElementRead> prototype);
    // Stores or replaces.
    std::string addFactory(const std::string& typeName, KoDTDFactory factory);
    std::string addContainer(const std::string& typeName);
    // Replaces the set.
    std::string setExclusions(const std::string& elementName, std::set<std::string> typeNames);

    std::string name;
    std::map<std::string, std::unique_ptr<KoDTDElementRead>> readers;
    std::map<std::string, KoDTDFactory> factories;
    std::set<std::string> containers;
    std::map<std::string, std::set<std::string>> exclusions;
    std::set<std::string> voidElements;
    // Tag name to a function that returns a new element the caller owns.
    std::map<std::string, KoDTDElementCreator> elementCatalogue;
};
