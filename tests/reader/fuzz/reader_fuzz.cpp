// libFuzzer target: parseDocument over arbitrary bytes with each grammar.
// The first byte picks the grammar ('0' xml, '1' html, '2' xmlhtml, '3' css,
// '4' cssRule, other values wrap around); the rest is the document. Any input
// may be refused with an error text, none may crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "reader/parse_document.h"
#include "xml/xml_complex_element.h"

namespace {

// The reader's diagnostics on std::cerr would flood the fuzzer's output.
struct NullBuf : std::streambuf {
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

const bool silenced = [] {
    static NullBuf sink;
    std::cerr.rdbuf(&sink);
    return true;
}();

const char* const kGrammars[] = {"xml", "html", "xmlhtml", "css", "cssRule"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned pick = static_cast<unsigned char>(data[0] - '0') % 5;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    std::string error;
    auto root = parseDocument(in, kGrammars[pick], error);
    if (root) {
        // What was read must also write.
        std::ostringstream out;
        root->write(out);
    }
    return silenced ? 0 : 1;
}
