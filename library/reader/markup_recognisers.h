// Markup reader: the six recognisers of the XML and HTML grammars.
//
// Tag ("xmlelement"): a start or end tag with its attributes; the name is a
// letter or "_" and then letters, digits, "-" and "_"; attribute values are
// quoted with " or ' and kept as written; a bare attribute name is recorded
// as valueless. Text ("xmltext"): one word, up to "<", white space or the
// end. White space ("xmlwhitespace"): a run of blanks, tabs, line feeds and
// carriage returns. Comment ("xmlcomment"): "<!--" ... "-->". Processing
// instruction ("xmlprocinst"): "<?" ... "?>". Doctype ("htmldoctype"):
// "<!DOCTYPE " ... ">" (exact case), together with one line feed directly
// after it, which the doctype node writes itself.
//
// Ownership, threads: as KoDTDElementRead. Failure: the tag recogniser throws
// KoException "incomplete tag '" + name + "'" when a tag name is followed by
// a character that can't follow it; every other mismatch returns null.
#pragma once

#include <memory>
#include <string>

#include "reader/dtd_element_read.h"

class KoDTDElementRead_Element : public KoDTDElementRead {
public:
    KoDTDElementRead_Element() : KoDTDElementRead("xmlelement") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
    // An end tag: "/" and a name.
    bool isCloser() const override;
    bool takesAttributes() const override;
    // An end tag for elementName.
    bool closes(const std::string& elementName) const override;
};

class KoDTDElementRead_Text : public KoDTDElementRead {
public:
    KoDTDElementRead_Text() : KoDTDElementRead("xmltext") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_WhitespaceText : public KoDTDElementRead {
public:
    KoDTDElementRead_WhitespaceText() : KoDTDElementRead("xmlwhitespace") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_Comment : public KoDTDElementRead {
public:
    KoDTDElementRead_Comment() : KoDTDElementRead("xmlcomment") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_ProcInst : public KoDTDElementRead {
public:
    KoDTDElementRead_ProcInst() : KoDTDElementRead("xmlprocinst") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_Doctype : public KoDTDElementRead {
public:
    KoDTDElementRead_Doctype() : KoDTDElementRead("htmldoctype") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
    // text is shorter than pattern and c is the pattern's next character.
    virtual bool matchesPattern(int c) const;

    std::string pattern = "<!DOCTYPE ";
};
