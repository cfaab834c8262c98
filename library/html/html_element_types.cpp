#include "html/html_element_types.h"

#include <memory>

#include "html/html_text.h"

// The language asks every category to name an initialiser for the shared
// base, but only the most derived class runs one: the element class itself.
namespace {
const char* const kPlaceholderName = "htmlbaseelement";
}

KoHTML_ElementType0::KoHTML_ElementType0() : KoHTML_BaseElement2(kPlaceholderName, false, false) {}
KoHTML_ElementType0::~KoHTML_ElementType0() = default;

KoHTML_ElementType1::KoHTML_ElementType1() : KoHTML_BaseElement2(kPlaceholderName, false, false) {}
KoHTML_ElementType1::~KoHTML_ElementType1() = default;

KoHTML_ElementType2::KoHTML_ElementType2() : KoHTML_BaseElement2(kPlaceholderName, false, false) {
    setLeaf(true);
}
KoHTML_ElementType2::~KoHTML_ElementType2() = default;

KoHTML_ElementType0A::KoHTML_ElementType0A()
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {}
KoHTML_ElementType0A::~KoHTML_ElementType0A() = default;

KoHTML_text2* KoHTML_ElementType0A::appendText(const std::string& text) {
    return adoptChild(std::make_unique<KoHTML_text2>(text));
}

KoHTML_ElementType0B::KoHTML_ElementType0B()
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {}
KoHTML_ElementType0B::~KoHTML_ElementType0B() = default;

KoHTML_ElementType0C::KoHTML_ElementType0C()
    : KoHTML_BaseElement2(kPlaceholderName, false, false) {}
KoHTML_ElementType0C::~KoHTML_ElementType0C() = default;
