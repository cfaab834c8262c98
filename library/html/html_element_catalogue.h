// HTML/CSS document model: the element catalogue, tag name to element class.
//
// KoHTMLElementCatalogue maps each of the 115 HTML tags to a factory that
// builds a new element of its class, constructed without arguments (a form
// therefore gets method "POST", a select an empty "name"), and lists the 16
// void elements. The markup reader's HTML grammars use it to build typed
// elements and to end void ones.
//
// Ownership: each factory call returns a new element that the caller owns.
// Threads: filled in the constructor and never changed, so any number of
// threads may read one catalogue at once.
// Failure: none; an unknown tag has no factory.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "xml/xml_complex_element.h"

// The name argument is ignored: each factory knows its tag.
using KoHTMLElementFactory = KoXMLComplexElement* (*)(const std::string& name);

class KoHTMLElementCatalogue {
public:
    KoHTMLElementCatalogue();

    const std::map<std::string, KoHTMLElementFactory>& factories() const { return factories_; }
    const std::set<std::string>& voidElements() const { return voidElements_; }

    // A new element of the tag's class, or null for a tag not in the table.
    std::unique_ptr<KoXMLComplexElement> createElement(const std::string& tag) const;
    bool isVoid(const std::string& tag) const;

private:
    std::map<std::string, KoHTMLElementFactory> factories_;
    std::set<std::string> voidElements_;
};
