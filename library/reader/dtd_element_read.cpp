#include "reader/dtd_element_read.h"

#include "reader/dtd_element_reader.h"

KoDTDElementRead::~KoDTDElementRead() = default;

bool KoDTDElementRead::isCloser() const { return false; }

bool KoDTDElementRead::takesAttributes() const { return false; }

bool KoDTDElementRead::closes(const std::string&) const { return true; }

bool KoDTDElementRead::inputExhausted(KoDTDElementReader& reader) {
    return !reader.hasPending() && !reader.isGood();
}
