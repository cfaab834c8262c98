#include "reader/markup_recognisers.h"

#include "foundation/exception.h"
#include "reader/dtd_element_reader.h"
#include "reader/read_transaction.h"

using ko_reader::isDigit;
using ko_reader::isLetter;
using ko_reader::isWhite;

namespace {

bool isNameStart(int c) { return isLetter(c) || c == '_'; }
bool isNameChar(int c) { return isLetter(c) || isDigit(c) || c == '-' || c == '_'; }

// Everything read goes back to the reader.
KoDTDElementRead* fail(ReadTransaction& t) {
    t.rewind();
    t.finish();
    return nullptr;
}

// Appends the name characters that follow; the first must be a name start.
bool readName(ReadTransaction& t, std::string& name) {
    if (!isNameStart(t.peek())) return false;
    while (isNameChar(t.peek())) name.push_back(static_cast<char>(t.get()));
    return true;
}

// Compares and consumes each character of literal in turn.
bool expect(ReadTransaction& t, const char* literal) {
    for (const char* p = literal; *p != '\0'; ++p) {
        if (t.peek() != static_cast<unsigned char>(*p)) return false;
        t.get();
    }
    return true;
}

}  // namespace

KoDTDElementRead* KoDTDElementRead_Element::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    selfClosed = false;
    if (t.peek() != '<') return fail(t);
    t.get();
    std::string name;
    const bool endTag = t.peek() == '/';
    if (endTag) name.push_back(static_cast<char>(t.get()));
    if (!readName(t, name)) return fail(t);
    const int follower = t.peek();
    if (!(follower == '/' || follower == '>' || (!endTag && isWhite(follower)))) {
        throw KoException("incomplete tag '" + name + "'", 377, "src");
    }
    reader.attributeRecords.clear();
    text = name;
    for (;;) {
        while (isWhite(t.peek())) t.get();
        int c = t.peek();
        if (c == '>') {
            t.get();
            break;
        }
        if (c == '/') {
            t.get();
            if (t.peek() == '>') {
                t.get();
                selfClosed = true;
                break;
            }
            t.giveBack(1);
        }
        KoReaderAttributeRecord record;
        if (!readName(t, record.name)) return fail(t);
        if (t.peek() == '=') {
            t.get();
            const int quote = t.peek();
            if (quote != '"' && quote != '\'') return fail(t);
            t.get();
            for (;;) {
                c = t.get();
                if (c < 0) return fail(t);
                if (c == quote) break;
                record.value.push_back(static_cast<char>(c));
            }
        } else {
            record.valueless = true;
        }
        reader.attributeRecords.push_back(std::move(record));
    }
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_Element::clone() const {
    return std::make_unique<KoDTDElementRead_Element>();
}

bool KoDTDElementRead_Element::isCloser() const { return text.size() >= 2 && text[0] == '/'; }

bool KoDTDElementRead_Element::takesAttributes() const { return true; }

bool KoDTDElementRead_Element::closes(const std::string& elementName) const {
    return !text.empty() && text.compare(1, std::string::npos, elementName) == 0;
}

KoDTDElementRead* KoDTDElementRead_Text::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    for (int c = t.peek(); c >= 0 && c != '<' && !isWhite(c); c = t.peek()) {
        text.push_back(static_cast<char>(t.get()));
    }
    if (text.empty()) return fail(t);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_Text::clone() const {
    return std::make_unique<KoDTDElementRead_Text>();
}

KoDTDElementRead* KoDTDElementRead_WhitespaceText::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    while (isWhite(t.peek())) text.push_back(static_cast<char>(t.get()));
    if (text.empty()) return fail(t);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_WhitespaceText::clone() const {
    return std::make_unique<KoDTDElementRead_WhitespaceText>();
}

KoDTDElementRead* KoDTDElementRead_Comment::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (!expect(t, "<!--")) return fail(t);
    std::string body;
    for (;;) {
        const int c = t.get();
        if (c < 0) return fail(t);
        if (c == '-' && t.peek() == '-') {
            t.get();
            if (t.peek() == '>') {
                t.get();
                break;
            }
            // Not the end marker: look again from the character after the pair.
            body += "--";
            continue;
        }
        body.push_back(static_cast<char>(c));
    }
    text = std::move(body);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_Comment::clone() const {
    return std::make_unique<KoDTDElementRead_Comment>();
}

KoDTDElementRead* KoDTDElementRead_ProcInst::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    if (!expect(t, "<?")) return fail(t);
    std::string body;
    for (;;) {
        const int c = t.get();
        if (c < 0) return fail(t);
        if (c == '?' && t.peek() == '>') {
            t.get();
            break;
        }
        body.push_back(static_cast<char>(c));
    }
    text = std::move(body);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_ProcInst::clone() const {
    return std::make_unique<KoDTDElementRead_ProcInst>();
}

KoDTDElementRead* KoDTDElementRead_Doctype::read(KoDTDElementReader& reader) {
    if (inputExhausted(reader)) return nullptr;
    ReadTransaction t(reader);
    text.clear();
    while (matchesPattern(t.peek())) text.push_back(static_cast<char>(t.get()));
    if (text != pattern) {
        text.clear();
        return fail(t);
    }
    std::string body;
    for (;;) {
        const int c = t.get();
        if (c < 0) {
            text.clear();
            return fail(t);
        }
        if (c == '>') break;
        body.push_back(static_cast<char>(c));
    }
    // The doctype node writes its own line end; reading it back as a
    // separate white-space node would add a blank line on every round trip.
    if (t.peek() == '\n') t.get();
    text = std::move(body);
    t.finish();
    return this;
}

std::unique_ptr<KoDTDElementRead> KoDTDElementRead_Doctype::clone() const {
    auto copy = std::make_unique<KoDTDElementRead_Doctype>();
    copy->pattern = pattern;
    return copy;
}

bool KoDTDElementRead_Doctype::matchesPattern(int c) const {
    return c >= 0 && text.size() < pattern.size() &&
           c == static_cast<unsigned char>(pattern[text.size()]);
}
