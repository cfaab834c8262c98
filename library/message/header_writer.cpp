// The sending half of KoXHeader: request and answer header blocks.
#include <mutex>
#include <string>

#include "foundation/exception.h"
#include "message/buffer_view.h"
#include "message/http_tables.h"
#include "message/x_header.h"

namespace {

constexpr const char* kCRLF = "\r\n";

// A value written into a header line must not end the line early.
std::string OneLine(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

}  // namespace

bool KoXHeader::WriteHeader(std::ostream& out) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint32_t now = state.load();
    if (!(now == header_state::Complete || (now == header_state::WriteEarly && writeEarly))) return false;

    const std::int32_t method = methodCode.load();
    if (method != method_code::ANSWER) {
        if (method != method_code::GET && method != method_code::POST && method != method_code::HEAD) {
            throw KoException("no written form for request method " + std::to_string(method), 161, "src");
        }
        std::string target = path;
        if (!query.empty()) target += (query.front() == '?' ? "" : "?") + query;
        out << MethodTokenOf(method) << ' ' << OneLine(target) << " HTTP/" << version << kCRLF;
        out << "Host: " << OneLine(host) << kCRLF;
        out << "User-Agent: " << kProductName << kProductVersion << kCRLF;
        if (method == method_code::POST) {
            out << "Content-Length: " << contentLength << kCRLF;
            if (contentLength != 0) {
                out << "Content-Type: multipart/form-data; boundary=" << OneLine(boundary) << kCRLF;
            }
        }
        out << kCRLF;
        headerWritten = true;
        return true;
    }

    std::string ownHeader;
    std::uint64_t length = 0;
    if (presetLength) {
        length = contentLength;
    } else {
        if (bodyHasHeader && input) {
            const std::string body = Body();
            const std::size_t end = body.find("\r\n\r\n");
            if (end == std::string::npos) {
                bodyHasHeader = false;
            } else {
                ownHeader = body.substr(0, end + 4);
                input = message_detail::BufferOf(body.substr(end + 4));
            }
        }
        length = BodySize();
    }

    out << "HTTP/" << version << ' ' << statusCode << ' ' << StatusText(statusCode) << kCRLF;
    out << "Server: " << kProductName << kProductVersion << kCRLF;
    out << "Content-Length: " << length << kCRLF;
    contentLength = length;
    if (statusCode == 303) out << "Location: " << OneLine(location) << kCRLF;
    if (bodyHasHeader) {
        out << ownHeader;
    } else {
        out << kCRLF;
    }
    headerWritten = true;
    return true;
}

bool KoXHeader::ReadyToWrite() {
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint32_t now = state.load();
    return (now == header_state::WriteEarly || now == header_state::Complete) && !headerWritten &&
           statusCode >= 100;
}
