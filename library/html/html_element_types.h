// HTML/CSS document model: the categories of HTML elements.
//
// Every element class derives from exactly one of the main categories and,
// for a few elements, from the mixins as well; all share one
// KoHTML_BaseElement2 (a virtual base), which the element class itself
// constructs.
//   KoHTML_ElementType0   elements with content: start tag, children, end
//                         tag (also when empty).
//   KoHTML_ElementType1   the same writing; elements whose end tag HTML lets
//                         authors omit.
//   KoHTML_ElementType2   void elements: a leaf, written "<name ... />";
//                         addChild throws "child elements not allowed for ".
//   KoHTML_ElementType0A  can take text with appendText.
//   KoHTML_ElementType0B, KoHTML_ElementType0C  markers without operations.
//
// Threads: not synchronised, like every tree node.
#pragma once

#include <string>

#include "html/html_base_element.h"

class KoHTML_text2;

class KoHTML_ElementType0 : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType0() override;

protected:
    KoHTML_ElementType0();
};

class KoHTML_ElementType1 : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType1() override;

protected:
    KoHTML_ElementType1();
};

class KoHTML_ElementType2 : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType2() override;

protected:
    KoHTML_ElementType2();
};

class KoHTML_ElementType0A : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType0A() override;

    // Appends text as one new text child and returns it (owned by this
    // element).
    KoHTML_text2* appendText(const std::string& text);

protected:
    KoHTML_ElementType0A();
};

class KoHTML_ElementType0B : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType0B() override;

protected:
    KoHTML_ElementType0B();
};

class KoHTML_ElementType0C : public virtual KoHTML_BaseElement2 {
public:
    ~KoHTML_ElementType0C() override;

protected:
    KoHTML_ElementType0C();
};
