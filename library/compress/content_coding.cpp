#include "compress/content_coding.h"

#include <array>

#include "foundation/text_utils.h"

namespace {

// A weight in thousandths: "q=0.5" is 500; a weight that cannot be read
// makes the element count as refused, the safe reading.
int Weight(std::string_view parameters) {
    while (!parameters.empty()) {
        const std::size_t semicolon = parameters.find(';');
        const std::string_view parameter = trimBlanks(parameters.substr(0, semicolon));
        parameters = semicolon == std::string_view::npos ? std::string_view{} : parameters.substr(semicolon + 1);
        if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') || parameter[1] != '=') continue;
        const std::string_view value = parameter.substr(2);
        if (value.empty() || value.size() > 5 || (value[0] != '0' && value[0] != '1')) return 0;
        int thousandths = (value[0] - '0') * 1000;
        if (value.size() > 1) {
            if (value[1] != '.') return 0;
            int scale = 100;
            for (std::size_t i = 2; i < value.size(); ++i, scale /= 10) {
                if (value[i] < '0' || value[i] > '9') return 0;
                thousandths += (value[i] - '0') * scale;
            }
        }
        return thousandths > 1000 ? 0 : thousandths;
    }
    return 1000;
}

}  // namespace

std::string_view KoCodingName(KoContentCoding coding) {
    switch (coding) {
        case KoContentCoding::brotli: return "br";
        case KoContentCoding::gzip: return "gzip";
        case KoContentCoding::identity: break;
    }
    return "";
}

std::string_view KoCodingSuffix(KoContentCoding coding) {
    switch (coding) {
        case KoContentCoding::brotli: return ".br";
        case KoContentCoding::gzip: return ".gz";
        case KoContentCoding::identity: break;
    }
    return "";
}

KoContentCoding KoChooseCoding(std::string_view acceptEncoding, bool brotliOffered, bool gzipOffered) {
    // -1: not named; the weight otherwise.
    int brotli = -1, gzip = -1, any = -1;
    while (!acceptEncoding.empty()) {
        const std::size_t comma = acceptEncoding.find(',');
        const std::string_view element = trimBlanks(acceptEncoding.substr(0, comma));
        acceptEncoding = comma == std::string_view::npos ? std::string_view{} : acceptEncoding.substr(comma + 1);
        const std::size_t semicolon = element.find(';');
        const std::string_view name = trimBlanks(element.substr(0, semicolon));
        const int weight = semicolon == std::string_view::npos ? 1000 : Weight(element.substr(semicolon + 1));
        if (sameLetters(name, "br")) {
            brotli = weight;
        } else if (sameLetters(name, "gzip") || sameLetters(name, "x-gzip")) {
            gzip = weight;
        } else if (name == "*") {
            any = weight;
        }
    }
    if (brotli < 0) brotli = any;
    if (gzip < 0) gzip = any;
    if (!brotliOffered) brotli = -1;
    if (!gzipOffered) gzip = -1;
    if (brotli > 0 && brotli >= gzip) return KoContentCoding::brotli;
    if (gzip > 0) return KoContentCoding::gzip;
    return KoContentCoding::identity;
}

bool KoIsCompressibleType(std::string_view mediaType) {
    mediaType = trimBlanks(mediaType.substr(0, mediaType.find(';')));
    static constexpr std::array<std::string_view, 12> types = {
        "text/html",       "text/css",          "text/javascript", "application/javascript",
        "application/json", "image/svg+xml",    "text/plain",      "application/xml",
        "text/xml",        "application/xhtml+xml", "text/csv",    "application/manifest+json",
    };
    for (const std::string_view type : types) {
        if (sameLetters(mediaType, type)) return true;
    }
    return false;
}
