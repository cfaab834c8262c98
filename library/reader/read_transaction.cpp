#include "reader/read_transaction.h"

#include <string>

#include "foundation/diagnostics.h"
#include "reader/dtd_element_reader.h"

ReadTransaction::ReadTransaction(KoDTDElementReader& reader)
    : reader_(reader), pendingStart_(reader.pendingPos) {}

ReadTransaction::~ReadTransaction() { finish(); }

int ReadTransaction::peek() {
    if (pos_ < taken_.size()) return static_cast<unsigned char>(taken_[pos_]);
    if (reader_.hasPending()) return static_cast<unsigned char>(reader_.pending[reader_.pendingPos]);
    return reader_.peek();
}

int ReadTransaction::get(bool endAcceptable) {
    if (pos_ < taken_.size()) return static_cast<unsigned char>(taken_[pos_++]);
    int c;
    if (reader_.hasPending()) {
        c = static_cast<unsigned char>(reader_.pending[reader_.pendingPos++]);
    } else {
        c = reader_.get();
        if (c < 0) {
            if (!endAcceptable) {
                diagnostic("reading EOF is an error! ---> will become an exception");
            }
            return -1;
        }
        fromInput_ = true;
    }
    if (c == '\n') ++reader_.line;
    taken_.push_back(static_cast<char>(c));
    ++pos_;
    return c;
}

void ReadTransaction::giveBack(std::size_t n) {
    if (n > pos_) {
        diagnostic("error! can't give more back than read---> will become an exception... " + std::to_string(pos_) +
                   " vs. " + std::to_string(n));
        return;
    }
    pos_ -= n;
}

void ReadTransaction::finish() {
    if (finished_) return;
    finished_ = true;
    reader_.consumed += pos_;
    if (!fromInput_) {
        // Everything came from pending: the rest of it is still in place.
        reader_.pendingPos = pendingStart_ + pos_;
    } else {
        // The input is only read once pending is used up, so what is handed
        // back is exactly the rest of the taken text.
        reader_.pending.assign(taken_, pos_, std::string::npos);
        reader_.pendingPos = 0;
    }
    if (reader_.pendingPos >= reader_.pending.size()) {
        reader_.pending.clear();
        reader_.pendingPos = 0;
    }
}
