// XML object model: notification that an element is being destroyed.
//
// An element whose observer is set calls elementDestroying with itself at the
// start of its base destructor, when the derived parts are already gone and
// the children are about to be deleted. The element does not own its
// observer; whoever sets it keeps it alive, or clears it, for as long as the
// element lives. Called on the thread that deletes the element.
#pragma once

class KoXMLComplexElement;

class KoXMLElementObserver {
public:
    virtual ~KoXMLElementObserver();
    virtual void elementDestroying(KoXMLComplexElement* element) = 0;
};
