// Markup reader: the base of every token recogniser.
//
// A KoDTDElementRead is a prototype held by a grammar under its typeName.
// read asks whether the reader's input continues with the recogniser's kind
// of token; on success it returns itself, filled (text, selfClosed, and for a
// tag the reader's attributeRecords), and the driver takes it as the token
// and puts a clone in its place. On failure it returns null and everything it
// read is handed back to the reader.
//
// Ownership: the grammar owns its prototypes; read returns no ownership.
// Threads: the reader's. Failure: only the tag recogniser throws
// ("incomplete tag '...'"); every other mismatch returns null.
#pragma once

#include <memory>
#include <string>
#include <utility>

class KoDTDElementReader;

class KoDTDElementRead {
public:
    explicit KoDTDElementRead(std::string typeName) : typeName(std::move(typeName)) {}
    KoDTDElementRead(const KoDTDElementRead&) = delete;
    KoDTDElementRead& operator=(const KoDTDElementRead&) = delete;
    virtual ~KoDTDElementRead();

    virtual KoDTDElementRead* read(KoDTDElementReader& reader) = 0;
    virtual std::unique_ptr<KoDTDElementRead> clone() const = 0;
    virtual bool isCloser() const;
    virtual bool takesAttributes() const;
    virtual bool closes(const std::string& elementName) const;

    const std::string typeName;
    bool selfClosed = false;
    std::string text;

protected:
    // Frame step 1: with nothing handed back, a bad input gives no token.
    static bool inputExhausted(KoDTDElementReader& reader);
};

namespace ko_reader {

// Blank, horizontal tab, line feed and carriage return.
inline bool isWhite(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool isLetter(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool isDigit(int c) { return c >= '0' && c <= '9'; }

}  // namespace ko_reader
