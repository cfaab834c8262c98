// Markup reader: the driver loop.
//
// readTokens reads tokens with the recognisers of the splitter's grammar and
// builds nodes under splitter.current: a token's factory makes the node, its
// attributes go through setAttribute (a bare name as "true"), a container
// token opens a level (the new element chooses its content grammar through
// contentDTD), a closer ends the current element and returns to the grammar
// its parent's content is read with. A void element of the grammar ends at
// the next token: its own end tag is taken as its end, any other token
// belongs to the parent and is processed there. With stopAfterFirst it
// returns after one token; the state stays in the splitter, so a later call
// goes on where this one stopped (the grammar argument then has no effect).
//
// Ownership: the nodes belong to the splitter's tree; the returned top stays
// owned by the splitter. Threads: the reader's.
// Failure: every error leaves as KoException (source "src"): "missing
// topelement", "DTD can't be empty", and, each followed by " around line "
// and the line, "error in stream", "DTD '<name>' not defined", "wrong
// closing tag '<text>' instead '/<name>'", "problem in DTD with '<type>'",
// "element type '<type>' not defined in DTD" (no factory, or a failure that
// is not a KoException while building, e.g. a typed attribute that rejects
// its value), "reading error ", "incomplete tag '<name>'", "elements nested
// deeper than <N> levels"; any other failure becomes "catched an error while
// processing input".
#pragma once

#include <string>

class KoDTDElementReader;
class KoXMLContentSplitter;
class KoXMLGenericElement;

KoXMLGenericElement* readTokens(KoXMLContentSplitter& splitter, KoDTDElementReader& reader,
                                const std::string& grammarName, bool stopAfterFirst);
