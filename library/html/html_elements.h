// HTML/CSS document model: the element classes without typed attributes.
//
// One class per PLAIN row of the element table (html_element_table.h), each
// its own type named after its tag (KoHTML_table2 for "table"), derived from
// the row's categories and built without arguments. The element's name() is
// its tag. The classes with typed attributes or constructor arguments are in
// html_custom_elements.h.
//
// Threads: not synchronised, like every tree node.
// Failure: as their categories (addChild on a void element throws).
#pragma once

#include "html/html_element_table.h"
#include "html/html_element_types.h"

// "public" before each of one to four base classes.
#define KO_HTML_PUBLIC_1(a) public a
#define KO_HTML_PUBLIC_2(a, b) public a, public b
#define KO_HTML_PUBLIC_3(a, b, c) public a, public b, public c
#define KO_HTML_PUBLIC_4(a, b, c, d) public a, public b, public c, public d
#define KO_HTML_PUBLIC_PICK(_1, _2, _3, _4, chosen, ...) chosen
#define KO_HTML_PUBLIC(...)                                                          \
    KO_HTML_PUBLIC_PICK(__VA_ARGS__, KO_HTML_PUBLIC_4, KO_HTML_PUBLIC_3, KO_HTML_PUBLIC_2, \
                        KO_HTML_PUBLIC_1, unused)(__VA_ARGS__)

#define KO_HTML_DECLARE_PLAIN(tag, cls, ...) \
    class cls : KO_HTML_PUBLIC(__VA_ARGS__) { \
    public:                                  \
        cls();                               \
        ~cls() override;                     \
    };
#define KO_HTML_IGNORE_ROW(...)

KO_HTML_ELEMENT_TABLE(KO_HTML_DECLARE_PLAIN, KO_HTML_IGNORE_ROW)

#undef KO_HTML_DECLARE_PLAIN
