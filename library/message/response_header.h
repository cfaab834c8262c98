// KoXResponseHeader: the answer that a protocol layer builds from a request
// (KoXHeader::MakeAnswer). Its body is either the in-memory stream Input()
// or a file named by bodyFile with bodyFileSize bytes (bodyStream, when set,
// is that file opened already); the layer that sends it decides. Same
// threading and failure rules as KoXHeader.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "message/x_header.h"

class KoXResponseHeader : public KoXHeader {
public:
    using KoXHeader::KoXHeader;

    std::string bodyFile;
    std::int64_t bodyFileSize = 0;
    std::unique_ptr<std::ifstream> bodyStream;
    // The request was HEAD: the header announces the body, which is not sent.
    bool answersHead = false;
};
