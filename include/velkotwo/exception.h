// Public: the one exception type of the library and its TLS variant, thrown
// out of StartHTTPServer (and inside the library everywhere).
//
// A KoException keeps only its message, which what() returns; the line
// number and source name that throw sites pass identify the site in the
// code but are not stored. KoException_SSL prefixes its message with
// "(SSL) ". Both types' type information is exported from the shared
// library, so a host catches them by type. Copies share nothing.
#pragma once

#include <exception>
#include <string>

#include "velkotwo/export.h"

class VELKO_API KoException : public std::exception {
public:
    KoException(std::string message, int line, const char* source);
    KoException(const KoException& other, int line, const char* source);
    KoException(const KoException&) = default;
    KoException& operator=(const KoException&) = default;
    ~KoException() override;

    const char* what() const noexcept override;

    std::string message;
};

// Prefixes its message with "(SSL) ".
class VELKO_API KoException_SSL : public KoException {
public:
    KoException_SSL(const std::string& message, int line, const char* source);
    // Re-raises a caught KoException as a TLS one, message unchanged.
    explicit KoException_SSL(const KoException& other);
};
