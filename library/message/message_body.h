// The body model of a received message: query parameters, urlencoded form
// fields and multipart parts become message blocks of the header, entered in
// its indexes (the later of two equal names wins an index; both stay in the
// list). A header reads its form this way once, when something first asks
// for it (KoXHeader::FormStatus). Runs on the thread that serves the
// message. Bad body syntax never throws: unknown content types and part
// header lines without a colon are skipped with a diagnostic line; a form
// beyond the header's form limits, or with an escape that is not "%" and
// two hexadecimal digits, is refused and leaves no blocks.
#pragma once

#include <cstdint>

#include "message/x_header.h"

// Turns header.query and the body into blocks: query names and values
// percent-decoded (a "+" stays), urlencoded body fields form-decoded,
// multipart parts with their header lines and bytes. 0, or the status that
// refuses the form (400 a malformed escape, 413 past maxFormFields or
// maxFormFieldSize). Call it through KoXHeader::FormStatus, which keeps
// the result.
std::int32_t KoParseForm(KoXHeader& header);

// 0 when fewer bytes than contentLength are in the body, 1 when more or when
// the form is refused (FormStatus says why), else reads the form (once) and
// returns 2.
int ParseBody(KoXHeader& header);
