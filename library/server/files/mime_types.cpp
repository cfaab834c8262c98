#include "server/files/mime_types.h"

#include <string_view>

namespace {

struct MimeRow {
    std::string_view extension;
    std::string_view type;
};

// No charset: the server does not know how a file's text is encoded.
constexpr MimeRow kMimeTable[] = {
    // documents, styles, scripts, data
    {"html", "text/html"},
    {"htm", "text/html"},
    {"xhtml", "application/xhtml+xml"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"mjs", "text/javascript"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"wasm", "application/wasm"},
    {"xml", "application/xml"},
    {"txt", "text/plain"},
    {"csv", "text/csv"},
    {"md", "text/markdown"},
    {"vtt", "text/vtt"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    // images
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"apng", "image/apng"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"ico", "image/x-icon"},
    // fonts
    {"woff2", "font/woff2"},
    {"woff", "font/woff"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    // audio and video
    {"mp4", "video/mp4"},
    {"m4v", "video/mp4"},
    {"webm", "video/webm"},
    {"ogv", "video/ogg"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"m4a", "audio/mp4"},
    {"aac", "audio/aac"},
    {"ogg", "audio/ogg"},
    {"oga", "audio/ogg"},
    {"opus", "audio/ogg"},
    {"wav", "audio/wav"},
    {"flac", "audio/flac"},
};

}  // namespace

std::string_view KoMimeTypeFor(std::string_view fileName) {
    static constexpr std::string_view kUnknown = "application/octet-stream";
    // The last dot, unless a directory separator comes after it.
    std::size_t dot = fileName.size();
    while (dot > 0 && fileName[dot - 1] != '.' && fileName[dot - 1] != '/' && fileName[dot - 1] != '\\') --dot;
    if (dot == 0 || fileName[dot - 1] != '.') return kUnknown;
    --dot;
    // Asked for every file answer: the extension is lower-cased where it
    // lies on the stack, no longer than the table's longest.
    const std::string_view asked = fileName.substr(dot + 1);
    char lower[16];
    if (asked.size() > sizeof lower) return kUnknown;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const char c = asked[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view extension(lower, asked.size());
    for (const MimeRow& row : kMimeTable) {
        // The first letter rules out most rows without a call.
        if (row.extension.size() == extension.size() && row.extension.front() == extension.front() &&
            row.extension == extension) {
            return row.type;
        }
    }
    return kUnknown;
}
