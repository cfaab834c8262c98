// Markup reader: a reader over a standard input stream.
//
// KoDTDElementReaderStream reads a std::istream that it does not own: atEnd
// is the stream's end-of-file flag, isGood is true while no flag of the
// stream is set, peek and get are the stream's own.
//
// Ownership: the stream must outlive the reader. Threads: the reader's.
// Failure: none of its own; a failing stream shows as isGood false.
#pragma once

#include <istream>

#include "reader/dtd_element_reader.h"

class KoDTDElementReaderStream : public KoDTDElementReader {
public:
    explicit KoDTDElementReaderStream(std::istream& in, KoReaderLimits limits = {});
    ~KoDTDElementReaderStream() override;

    bool atEnd() override;
    bool isGood() override;
    int peek() override;
    int get() override;

private:
    std::istream& in_;
};
