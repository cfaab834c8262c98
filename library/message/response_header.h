// KoXResponseHeader: the answer that a protocol layer builds from a request
// (KoXHeader::MakeAnswer). Its body is either the in-memory stream Input()
// or a file named by bodyFile with bodyFileSize bytes; the layer that sends
// it decides. Same threading and failure rules as KoXHeader.
#pragma once

#include <cstdint>
#include <string>

#include "message/x_header.h"

class KoXResponseHeader : public KoXHeader {
public:
    using KoXHeader::KoXHeader;

    std::string bodyFile;
    std::int64_t bodyFileSize = 0;
    // The request was HEAD: the header announces the body, which is not sent.
    bool answersHead = false;
};
