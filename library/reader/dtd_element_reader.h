// Markup reader: turns XML, HTML and CSS text into trees of the XML object
// model. May use: html, xml, foundation.
//
// The reader is table-driven. A named grammar (KoDTD) lists the token
// recognisers that may run, the factory that builds the node of each token
// kind, which kinds open a nesting level and which elements end without an
// end tag. readTokens (read_tokens.h) is the driver loop; parseDocument
// (parse_document.h) is the entry the store uses.
//
// KoDTDElementReader is the source of characters the recognisers read
// through a ReadTransaction. It holds the current line, the characters that
// recognisers read and handed back (delivered again before any further
// input), the attributes of the last tag, the building context (splitter) and
// the five built-in grammars "xml", "html", "xmlhtml", "css" and "cssRule".
//
// Ownership: the reader owns its grammars (and their recogniser prototypes)
// and its splitter, and with it the tree built under the splitter's top.
// Threads: none; a reader and its tree belong to one thread.
// Failure: the constructor throws only what allocation throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/dtd.h"
#include "reader/xml_content_splitter.h"

// The attributes of one tag, in the order written.
struct KoReaderAttributeRecord {
    std::string name;
    std::string value;
    bool valueless = false;
};

// Bounds against hostile input.
struct KoReaderLimits {
    static constexpr std::size_t kDefaultMaxNestingDepth = 1000;
    // Open levels below the splitter's top; one more is refused with a
    // KoException, since writing and walking the tree recurse per level.
    std::size_t maxNestingDepth = kDefaultMaxNestingDepth;
};

class KoDTDElementReader {
public:
    explicit KoDTDElementReader(KoReaderLimits limits = {});
    KoDTDElementReader(const KoDTDElementReader&) = delete;
    KoDTDElementReader& operator=(const KoDTDElementReader&) = delete;

    // End of the underlying input reached.
    virtual bool atEnd() = 0;
    // The underlying input is in a good state.
    virtual bool isGood() = 0;
    // Next character (0..255) without consuming it, or -1 at the end.
    virtual int peek() = 0;
    // Next character (0..255), or -1 at the end.
    virtual int get() = 0;
    virtual ~KoDTDElementReader();

    // Characters handed back and not yet delivered again.
    bool hasPending() const { return pendingPos < pending.size(); }
    std::string pendingText() const { return pending.substr(pendingPos); }
    // The grammar of that name, or null.
    KoDTD* grammar(const std::string& name);

    std::uint64_t line = 1;
    // Handed-back characters; those before pendingPos are already delivered.
    std::string pending;
    std::size_t pendingPos = 0;
    // Characters consumed by finished transactions since construction.
    std::uint64_t consumed = 0;
    // Set once a selector recogniser met the end of the input without a "{"
    // from this offset on: no later selector can succeed, so it need not
    // read the rest again (keeps "a;a;a;..." at sheet level linear).
    std::optional<std::uint64_t> noBraceFrom;
    std::vector<KoReaderAttributeRecord> attributeRecords;
    KoXMLContentSplitter splitter;
    std::map<std::string, std::unique_ptr<KoDTD>> grammars;
    KoReaderLimits limits;
};
