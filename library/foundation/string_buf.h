// Foundation: the byte buffer behind every message (input, queued output,
// block contents). It is a plain string buffer; the name marks its use.
#pragma once

#include <sstream>

class KoStringBuf : public std::basic_stringbuf<char> {
public:
    using std::basic_stringbuf<char>::basic_stringbuf;
};
