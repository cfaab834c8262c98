// Markup reader: one recognition attempt over a reader's characters.
//
// A ReadTransaction takes characters from the reader (its handed-back
// characters first, then the input) and keeps them, with a position, so that
// a recogniser can look ahead and give back. finish settles the attempt: what
// lies before the position is consumed, what lies from it on is handed back
// to the reader for the next recogniser. The destructor finishes an attempt
// that was not finished, also when an exception leaves the recogniser.
//
// Characters are 0..255; -1 is the end of the input only. Every line feed
// the reader hands out advances reader.line, also when it is handed out again
// after a give-back.
//
// Ownership: refers to the reader, which must outlive it. Threads: the
// reader's. Failure: none; reading past the end (unless declared acceptable)
// and giving back more than was read print a diagnostic line on standard
// error and go on.
#pragma once

#include <cstddef>
#include <string>

class KoDTDElementReader;

class ReadTransaction {
public:
    explicit ReadTransaction(KoDTDElementReader& reader);
    ~ReadTransaction();
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

    int peek();
    // Consumes the character; the end marker is not consumed.
    int get(bool endAcceptable = false);
    void giveBack(std::size_t n);
    // Back to the start, so that finish hands everything back.
    void rewind() { pos_ = 0; }
    void finish();

    std::size_t position() const { return pos_; }
    const std::string& taken() const { return taken_; }
    // The part of the taken text before the position.
    std::string read() const { return taken_.substr(0, pos_); }

    // The token piece a recogniser is reading.
    std::string scratch;

private:
    KoDTDElementReader& reader_;
    std::string taken_;
    std::size_t pos_ = 0;
    // reader.pendingPos when the attempt began.
    std::size_t pendingStart_;
    // Whether any character came from the input rather than from pending.
    bool fromInput_ = false;
    bool finished_ = false;
};
