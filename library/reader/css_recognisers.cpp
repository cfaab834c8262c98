#include "reader/css_recognisers.h"

#include "reader/dtd_element_reader.h"
#include "reader/read_transaction.h"

using ko_reader::isLetter;
using ko_reader::isWhite;

namespace {

KoDTDElementRead* fail(ReadTransaction& t) {
    t.rewind();
    t.finish();
    return nullptr;
}

// Compares and consumes each character of literal in turn, keeping them.
bool expect(ReadTransaction& t, const char* literal, std::string& text) {
    for (const char* p = literal; *p != '\0'; ++p) {
        if (t.peek() != static_cast<unsigned char>(*p)) return false;
        text.push_back(static_cast<char>(t.get()));
    }
    return true;
}

// An earlier attempt found no "{" between an offset at or before this one
// and the end of the input, so none can be found from here either.
bool knownBraceless(const KoDTDElementReader& reader) {
    return reader.noBraceFrom.has_value() && reader.consumed >= *reader.noBraceFrom;
}

void noteBraceless(KoDTDElementReader& reader, std::uint64_t from) {
    if (!reader.noBraceFrom || from < *reader.noBraceFrom) reader.noBraceFrom = from;
}

// Appends up to the first "{", which is consumed and not kept. False at the
// end of the input.
bool readUpToBrace(ReadTransaction& t, KoDTDElementReader& reader, std::string& text) {
    const std::uint64_t start = reader.consumed;
    for (;;) {
        const int c = t.get();
        if (c < 0) {
            noteBraceless(reader, start);
            return false;
        }
        if (c == '{') return true;
        text.push_back(static_cast<char>(c));
    }
}

}  // namespace

KoDTDElementRead* KoDTDElementRead_WhitespaceCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    while (isWhite(t.peek())) text.push_back(static_cast<char>(t.get()));
    if (text.empty()) return fail(t);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_WhitespaceCSS::clone() const {
    return std::make_unique<KoDTDElementRead_WhitespaceCSS>();
}

KoDTDElementRead* KoDTDElementRead_WhitespaceCSSHTMLComment::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (!expect(t, "<!--", text)) {
        text.clear();
        return fail(t);
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_WhitespaceCSSHTMLComment::clone() const {
    return std::make_unique<KoDTDElementRead_WhitespaceCSSHTMLComment>();
}

KoDTDElementRead* KoDTDElementRead_WhitespaceCSSHTMLCommentCloser::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (!expect(t, "-->", text)) {
        text.clear();
        return fail(t);
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_WhitespaceCSSHTMLCommentCloser::clone() const {
    return std::make_unique<KoDTDElementRead_WhitespaceCSSHTMLCommentCloser>();
}

bool KoDTDElementRead_WhitespaceCSSHTMLCommentCloser::isCloser() const { return true; }

KoDTDElementRead* KoDTDElementRead_CloserCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (t.peek() != '}') return fail(t);
    text.push_back(static_cast<char>(t.get()));
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_CloserCSS::clone() const {
    return std::make_unique<KoDTDElementRead_CloserCSS>();
}

bool KoDTDElementRead_CloserCSS::isCloser() const { return !text.empty() && text[0] == '}'; }

KoDTDElementRead* KoDTDElementRead_CommentCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (!expect(t, "/*", text)) {
        text.clear();
        return fail(t);
    }
    // The opener's "*" does not count towards the closer.
    bool afterStar = false;
    for (;;) {
        const int c = t.get();
        if (c < 0) {
            text.clear();
            return fail(t);
        }
        text.push_back(static_cast<char>(c));
        if (c == '/' && afterStar) break;
        afterStar = c == '*';
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_CommentCSS::clone() const {
    return std::make_unique<KoDTDElementRead_CommentCSS>();
}

KoDTDElementRead* KoDTDElementRead_MediaQueryCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (t.peek() != '@' || knownBraceless(reader)) return fail(t);
    if (!readUpToBrace(t, reader, text) || text.empty()) {
        text.clear();
        return fail(t);
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_MediaQueryCSS::clone() const {
    return std::make_unique<KoDTDElementRead_MediaQueryCSS>();
}

KoDTDElementRead* KoDTDElementRead_RuleCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    const int first = t.peek();
    if (!(isLetter(first) || first == '_' || first == '#' || first == '*' || first == '.')) {
        return fail(t);
    }
    if (knownBraceless(reader)) return fail(t);
    if (!readUpToBrace(t, reader, text)) {
        text.clear();
        return fail(t);
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_RuleCSS::clone() const {
    return std::make_unique<KoDTDElementRead_RuleCSS>();
}

KoDTDElementRead* KoDTDElementRead_PropertyCSS::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    const int first = t.peek();
    if (!(isLetter(first) || first == '_')) return fail(t);
    for (;;) {
        if (t.peek() == '}') {
            // The blanks before the brace become a token of their own.
            std::size_t white = 0;
            while (white < text.size() && isWhite(static_cast<unsigned char>(text[text.size() - 1 - white]))) {
                ++white;
            }
            text.resize(text.size() - white);
            t.giveBack(white);
            break;
        }
        const int c = t.get();
        if (c < 0) {
            text.clear();
            return fail(t);
        }
        text.push_back(static_cast<char>(c));
        if (c == ';') break;
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_PropertyCSS::clone() const {
    return std::make_unique<KoDTDElementRead_PropertyCSS>();
}
