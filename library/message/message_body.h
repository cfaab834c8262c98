// The body model of a received message: query parameters, urlencoded form
// fields and multipart parts become message blocks of the header, entered in
// its indexes (the later of two equal names wins an index; both stay in the
// list). Runs on the thread that serves the message. Bad body syntax never
// throws: unknown content types and part header lines without a colon are
// skipped with a line on standard error.
#pragma once

#include "message/x_header.h"

// Turns header.query into blocks (names and values percent-decoded; a "+"
// stays) and enters them in fieldsByName and queryFieldsByName.
void AddQueryBlocks(KoXHeader& header);

// 0 when fewer bytes than contentLength are in the body, 1 when more, else
// parses the body into blocks (once) and returns 2.
int ParseBody(KoXHeader& header);
