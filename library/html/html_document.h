// HTML/CSS document model: an HTML page.
//
// KoHTML_Document2, named "HTMLDocument", is the root of a page tree and owns
// it. It writes only its children, with no tags of its own. htmlRoot, head
// and body find the page's structure, creating what is missing: the doctype
// ("html") first, the html element after it, head as the first child of
// html and body as the last.
//
// Ownership: the document owns everything in it; addToHead and addToBody
// take ownership of the element they are given, also when they throw (it is
// then deleted unless the tree kept it).
// Threads: not synchronised, like every tree node.
// Failure: KoException as the tree operations raise them.
#pragma once

#include <ostream>

#include "html/html_base_element.h"

class KoHTML_Document2 : public KoHTML_BaseElement2 {
public:
    KoHTML_Document2();
    ~KoHTML_Document2() override;

    std::ostream& write(std::ostream& out) override;

    // The first element named "html" anywhere in the page.
    KoXMLGenericElement* htmlRoot();
    // The first element named "head" / "body" below htmlRoot().
    KoXMLGenericElement* head();
    KoXMLGenericElement* body();
    // Appends element to head() / body(); returns it.
    KoXMLComplexElement* addToHead(KoXMLComplexElement* element);
    KoXMLComplexElement* addToBody(KoXMLComplexElement* element);
};
