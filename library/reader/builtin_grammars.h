// Markup reader: the five grammars every reader starts with.
//
// "xml" builds generic XML nodes; "html" builds the typed elements of the
// HTML catalogue, HTML text nodes and the doctype; "xmlhtml" builds typed
// elements with generic text; "css" reads a style sheet (rules, media
// queries, comments, the "<!--" wrapper, and the end tag of its style
// element) and "cssRule" the body of a rule.
//
// Ownership: the grammars go into the map the caller owns.
// Threads: any; nothing shared. Failure: none beyond allocation.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "reader/dtd.h"

void addBuiltinGrammars(std::map<std::string, std::unique_ptr<KoDTD>>& grammars);

// The factory behind "xmlelement" in "html", "xmlhtml" and "css": the
// catalogue's element for the tag when it has one, else a generic element.
std::unique_ptr<KoXMLComplexElement> createHTMLElement(const std::string& tag, KoDTD& grammar);
