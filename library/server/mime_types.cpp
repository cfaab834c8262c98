#include "server/mime_types.h"

#include <cctype>
#include <string_view>

namespace {

struct MimeRow {
    std::string_view extension;
    std::string_view type;
};

constexpr MimeRow kMimeTable[] = {
    {"html", "text/html"},
    {"htm", "text/html"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"mjs", "text/javascript"},
    {"json", "application/json"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/x-icon"},
    {"wasm", "application/wasm"},
    {"txt", "text/plain"},
    {"xml", "application/xml"},
    {"pdf", "application/pdf"},
    {"woff2", "font/woff2"},
    {"woff", "font/woff"},
    {"mp4", "video/mp4"},
    {"mp3", "audio/mpeg"},
};

}  // namespace

std::string KoMimeTypeFor(const std::string& fileName) {
    const std::size_t slash = fileName.find_last_of("/\\");
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string extension;
    for (char c : fileName.substr(dot + 1)) extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const MimeRow& row : kMimeTable) {
        if (row.extension == extension) return std::string(row.type);
    }
    return "application/octet-stream";
}
