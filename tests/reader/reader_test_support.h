// Helpers for the reader tests: a stream buffer that hands out its input in
// two pieces, a compact dump of a built tree, and one-call reading.
#pragma once

#include <memory>
#include <streambuf>
#include <string>
#include <vector>

class KoXMLComplexElement;
struct KoReaderLimits;

namespace reader_test {

// Serves text[0, split) on the first refill and the rest on the second, so
// that the reader meets the piece boundary wherever split puts it.
class SplitBuf : public std::streambuf {
public:
    SplitBuf(std::string text, std::size_t split);

protected:
    int_type underflow() override;

private:
    std::string text_;
    std::size_t split_;
    int piece_ = 0;
};

// name[attr=value,...]{children} for elements, ws(...), text(...),
// comment(...), pi(...), doctype(...), rule(...){...}, media(...){...},
// prop(name=value) and htmlcomment{...}; line feeds shown as \n.
std::string dump(const KoXMLComplexElement* node);
// The dump of every child of node, one after the other.
std::string dumpChildren(const KoXMLComplexElement* node);

struct Outcome {
    std::string tree;   // dumpChildren of the splitter's top
    std::string error;  // what() of the KoException, empty when none
    unsigned long long line = 0;
};

// Reads input with readTokens and grammar; split < input.size() hands the
// input out in two pieces.
Outcome readAll(const std::string& input, const std::string& grammar,
                std::size_t split = std::string::npos);
Outcome readAll(const std::string& input, const std::string& grammar, std::size_t split,
                const KoReaderLimits& limits);

// Reads token by token with stopAfterFirst, as a caller that goes on where
// it stopped would.
Outcome readStepwise(const std::string& input, const std::string& grammar);

// Captures what is written to std::cerr while it lives.
class CerrCapture {
public:
    CerrCapture();
    ~CerrCapture();
    std::string text() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace reader_test
