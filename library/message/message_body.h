// The body model of a received message: query parameters, urlencoded form
// fields and multipart parts become message blocks of the header, entered in
// its indexes (the later of two equal names wins an index; both stay in the
// list). A header reads its form this way once, when something first asks
// for it (KoXHeader::FormStatus). Runs on the thread that serves the
// message. A body of another content type is no form and gives no blocks.
// Bad body syntax never throws: part header lines without a colon are
// skipped with a diagnostic line; a form
// beyond the header's form limits, or with an escape that is not "%" and
// two hexadecimal digits, is refused and leaves no blocks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "message/x_header.h"

// Turns header.query and the body into blocks: query names and values
// percent-decoded (a "+" stays), urlencoded body fields form-decoded,
// multipart parts with their header lines and bytes (attributes "name",
// "filename" when the part names one, "mimetype"). 0, or the status that
// refuses the form (400 a malformed escape, 413 past maxFormFields or
// maxFormFieldSize). Call it through KoXHeader::FormStatus, which keeps
// the result.
std::int32_t KoParseForm(KoXHeader& header);

// A value of the form "type; name=value; name=\"quoted value\"", as
// Content-Type and Content-Disposition carry it, with blanks allowed around
// ";" and "=". The type and the names are lower-cased; the first of two
// equal names counts.
struct KoMediaType {
    std::string type;
    std::map<std::string, std::string> parameters;
};
KoMediaType KoReadMediaType(std::string_view value);

// 0 when fewer bytes than contentLength are in the body, 1 when more or when
// the form is refused (FormStatus says why), else reads the form (once) and
// returns 2.
int ParseBody(KoXHeader& header);
