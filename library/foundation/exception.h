// Foundation: the one exception type of the system and its TLS variant, and
// (text_utils.h, file_utils.h) the text and path utilities used everywhere.
// May use: platform.
//
// A KoException keeps only its message; the line number and source name that
// throw sites pass identify the site in the code but are not stored. Both
// types are visible from the shared library so that a host can catch them.
#pragma once

#include <exception>
#include <string>

#include "foundation/export.h"

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
