// Server stack: media types of static files, chosen by file extension
// (case-insensitive). A pure table lookup; any thread may call it.
#pragma once

#include <string>

// The media type for a file name; "application/octet-stream" when the
// extension is not in the table.
std::string KoMimeTypeFor(const std::string& fileName);
