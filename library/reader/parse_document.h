// Markup reader: the entry the store uses to read a whole document.
//
// parseDocument reads the stream with the named grammar and returns the
// first node built for a tag at the top level (the root element; for "html"
// this is the doctype when the page has one). Declarations, comments and
// white space around it are discarded.
//
// Ownership: the caller owns the returned tree; the stream stays the
// caller's. Threads: any thread, one call per stream.
// Failure: never throws KoException: a reading error stores the exception's
// text in errorText and returns null; any other failure returns null with
// errorText untouched. Null without an error text means the input held no
// element.
#pragma once

#include <istream>
#include <memory>
#include <string>

#include "reader/dtd_element_reader.h"

class KoXMLComplexElement;

std::unique_ptr<KoXMLComplexElement> parseDocument(std::istream& in, const std::string& grammarName,
                                                   std::string& errorText,
                                                   KoReaderLimits limits = {});
