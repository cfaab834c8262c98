// HTML/CSS document model: the "<!--" ... "-->" wrapper that old pages put
// around a style sheet.
//
// KoCSSHTMLComment (element name "csshtmlcomment") has no fields; it owns
// its children and writes them between "<!--" and "-->". Its children are
// text (comments, white space) and, since a wrapped style sheet is read into
// it, the rules and media queries of that sheet.
//
// Threads: not synchronised, like every tree node.
// Failure: addChild of any other child throws KoException "child must be
// text" (source "src", 881); the child is then already in the tree.
#pragma once

#include <ostream>

#include "xml/xml_complex_element.h"

class KoCSSHTMLComment : public KoXMLComplexElement {
public:
    KoCSSHTMLComment();
    ~KoCSSHTMLComment() override;

    void childAdded(KoXMLComplexElement* child) override;
    // "<!--", the children, "-->".
    std::ostream& write(std::ostream& out) override;
};
