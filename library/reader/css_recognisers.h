// Markup reader: the eight recognisers of the style-sheet grammars.
//
// Their type names carry ordering letters, since a grammar tries its
// recognisers in ascending type-name order: white space ("css_a_whitespace"),
// the HTML comment opener "<!--" ("css_aa_whitespace") and closer "-->"
// ("css_aaa_whitespace", always a closer), "}" ("css_b_closer", a closer),
// a comment "/*" ... "*/" kept whole ("css_c_comment"), an at-rule prelude
// up to "{" ("css_d_mediaquery"), a selector up to "{" ("css_e_rule") and a
// declaration up to ";" (kept) or "}" (left for the next token, with the
// white space before it) ("css_f_property"). Selectors, preludes and
// declarations are handed on as text; the CSS nodes parse them further.
//
// Ownership, threads: as KoDTDElementRead. Failure: none; a mismatch
// returns null.
#pragma once

#include <memory>
#include <string>

#include "reader/dtd_element_read.h"

class KoDTDElementRead_WhitespaceCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_WhitespaceCSS() : KoDTDElementRead("css_a_whitespace") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_WhitespaceCSSHTMLComment : public KoDTDElementRead {
public:
    KoDTDElementRead_WhitespaceCSSHTMLComment() : KoDTDElementRead("css_aa_whitespace") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_WhitespaceCSSHTMLCommentCloser : public KoDTDElementRead {
public:
    KoDTDElementRead_WhitespaceCSSHTMLCommentCloser() : KoDTDElementRead("css_aaa_whitespace") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
    bool isCloser() const override;
};

class KoDTDElementRead_CloserCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_CloserCSS() : KoDTDElementRead("css_b_closer") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
    bool isCloser() const override;
};

class KoDTDElementRead_CommentCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_CommentCSS() : KoDTDElementRead("css_c_comment") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_MediaQueryCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_MediaQueryCSS() : KoDTDElementRead("css_d_mediaquery") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_RuleCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_RuleCSS() : KoDTDElementRead("css_e_rule") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};

class KoDTDElementRead_PropertyCSS : public KoDTDElementRead {
public:
    KoDTDElementRead_PropertyCSS() : KoDTDElementRead("css_f_property") {}
    KoDTDElementRead* read(KoDTDElementReader& reader) override;
    std::unique_ptr<KoDTDElementRead> clone() const override;
};
