// Markup reader: the building context of the driver loop.
//
// KoXMLContentSplitter owns top, a generic element named
// "KoXMLContentSplitter::TOP" under which everything read is built. current
// is the element that receives new nodes (top at first), grammarName the
// grammar in effect for current's content. grammarStack keeps the grammar of
// every open level (top's first), so that closing an element returns to the
// grammar its parent's content was read with; this is the driver's state, so
// a caller may call readTokens again to go on where it stopped.
//
// Ownership: the splitter owns top and with it the whole tree; current and
// the stack refer into it. Threads: one at a time. Failure: none.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class KoXMLComplexElement;
class KoXMLGenericElement;

class KoXMLContentSplitter {
public:
    static constexpr const char* kTopName = "KoXMLContentSplitter::TOP";

    KoXMLContentSplitter();
    ~KoXMLContentSplitter();
    KoXMLContentSplitter(const KoXMLContentSplitter&) = delete;
    KoXMLContentSplitter& operator=(const KoXMLContentSplitter&) = delete;

    // Open levels below top.
    std::size_t depth() const { return grammarStack.empty() ? 0 : grammarStack.size() - 1; }

    std::unique_ptr<KoXMLGenericElement> top;
    KoXMLComplexElement* current = nullptr;
    std::string grammarName;
    std::vector<std::string> grammarStack;
};
