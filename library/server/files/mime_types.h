// Server stack: media types of static files, chosen by file extension
// (case-insensitive). A pure table lookup; any thread may call it.
#pragma once

#include <string_view>

// The media type for a file name; "application/octet-stream" when the
// extension is not in the table. The text lies in a static table: it
// outlives every answer, and naming it costs no copy.
std::string_view KoMimeTypeFor(std::string_view fileName);
