#include "html/html_elements.h"

#define KO_HTML_DEFINE_PLAIN(tag, cls, ...)                                      \
    cls::cls() : KoHTML_BaseElement2("htmlbaseelement", false, false) { setTagName(#tag); } \
    cls::~cls() = default;

KO_HTML_ELEMENT_TABLE(KO_HTML_DEFINE_PLAIN, KO_HTML_IGNORE_ROW)
