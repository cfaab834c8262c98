#include "foundation/exception.h"

#include <utility>

KoException::KoException(std::string message_, int, const char*)
    : message(std::move(message_)) {}

KoException::KoException(const KoException& other, int, const char*)
    : message(other.message) {}

KoException::~KoException() = default;

const char* KoException::what() const noexcept { return message.c_str(); }

KoException_SSL::KoException_SSL(const std::string& message_, int line, const char* source)
    : KoException("(SSL) " + message_, line, source) {}

KoException_SSL::KoException_SSL(const KoException& other)
    : KoException(other, 0, "n.a.") {}
