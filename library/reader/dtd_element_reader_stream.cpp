#include "reader/dtd_element_reader_stream.h"

KoDTDElementReaderStream::KoDTDElementReaderStream(std::istream& in, KoReaderLimits limits)
    : KoDTDElementReader(limits), in_(in) {}

KoDTDElementReaderStream::~KoDTDElementReaderStream() = default;

bool KoDTDElementReaderStream::atEnd() { return in_.eof(); }

bool KoDTDElementReaderStream::isGood() { return in_.good(); }

int KoDTDElementReaderStream::peek() {
    const auto c = in_.peek();
    return c == std::istream::traits_type::eof() ? -1 : static_cast<int>(c);
}

int KoDTDElementReaderStream::get() {
    const auto c = in_.get();
    return c == std::istream::traits_type::eof() ? -1 : static_cast<int>(c);
}
