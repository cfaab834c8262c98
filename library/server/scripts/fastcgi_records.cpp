#include "server/scripts/fastcgi_records.h"

#include <algorithm>

namespace fastcgi {
namespace {

void appendLength(std::string& out, std::size_t length) {
    if (length < 128) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(((length >> 24) & 0x7f) | 0x80);
    out += static_cast<char>((length >> 16) & 0xff);
    out += static_cast<char>((length >> 8) & 0xff);
    out += static_cast<char>(length & 0xff);
}

std::size_t encodedLength(std::size_t length) { return length < 128 ? 1 : 4; }

}  // namespace

void appendRecord(std::string& out, std::uint8_t type, std::uint16_t id, std::string_view content) {
    const std::size_t length = std::min(content.size(), maxContentLength);
    const std::size_t padding = (8 - length % 8) % 8;
    const char head[headerLength] = {
        static_cast<char>(version1),
        static_cast<char>(type),
        static_cast<char>(id >> 8),
        static_cast<char>(id & 0xff),
        static_cast<char>(length >> 8),
        static_cast<char>(length & 0xff),
        static_cast<char>(padding),
        0,
    };
    out.append(head, headerLength);
    out.append(content.data(), length);
    out.append(padding, '\0');
}

void appendBeginRequest(std::string& out, std::uint16_t id, bool keep) {
    const char body[fixedBodyLength] = {
        static_cast<char>(responderRole >> 8), static_cast<char>(responderRole & 0xff),
        static_cast<char>(keep ? keepConnection : 0), 0, 0, 0, 0, 0,
    };
    appendRecord(out, record::beginRequest, id, std::string_view(body, fixedBodyLength));
}

void appendNameValue(std::string& out, std::string_view name, std::string_view value) {
    appendLength(out, name.size());
    appendLength(out, value.size());
    out.append(name);
    out.append(value);
}

bool appendParams(std::string& out, std::uint16_t id, const std::vector<std::string>& entries) {
    std::string records;
    std::string pairs;
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        const std::string_view name = std::string_view(entry).substr(0, equals);
        const std::string_view value =
            equals == std::string::npos ? std::string_view() : std::string_view(entry).substr(equals + 1);
        const std::size_t size = encodedLength(name.size()) + encodedLength(value.size()) + name.size() + value.size();
        if (size > maxContentLength) return false;
        if (pairs.size() + size > maxContentLength) {
            appendRecord(records, record::params, id, pairs);
            pairs.clear();
        }
        appendNameValue(pairs, name, value);
    }
    if (!pairs.empty()) appendRecord(records, record::params, id, pairs);
    appendRecord(records, record::params, id, {});
    out += records;
    return true;
}

void appendStream(std::string& out, std::uint8_t type, std::uint16_t id, std::string_view bytes) {
    if (bytes.empty()) {
        appendRecord(out, type, id, {});
        return;
    }
    for (std::size_t at = 0; at < bytes.size(); at += maxContentLength) {
        appendRecord(out, type, id, bytes.substr(at, maxContentLength));
    }
}

}  // namespace fastcgi

KoFastCgiRecordReader::Status KoFastCgiRecordReader::next(std::string_view bytes, std::size_t& used) {
    if (broken) return Status::failed;
    while (used < bytes.size()) {
        if (!inBody) {
            const std::size_t take = std::min(fastcgi::headerLength - filled, bytes.size() - used);
            std::copy_n(bytes.data() + used, take, header + filled);
            filled += take;
            used += take;
            if (filled < fastcgi::headerLength) return Status::needMore;
            if (header[0] != fastcgi::version1) {
                broken = true;
                return Status::failed;
            }
            current.type = header[1];
            current.id = static_cast<std::uint16_t>(header[2] << 8 | header[3]);
            contentLeft = static_cast<std::size_t>(header[4] << 8 | header[5]);
            paddingLeft = header[6];
            current.content.clear();
            current.content.reserve(contentLeft);
            filled = 0;
            inBody = true;
        }
        const std::size_t content = std::min(contentLeft, bytes.size() - used);
        current.content.append(bytes.data() + used, content);
        contentLeft -= content;
        used += content;
        const std::size_t padding = std::min(paddingLeft, bytes.size() - used);
        if (contentLeft == 0) {
            paddingLeft -= padding;
            used += padding;
        }
        if (contentLeft == 0 && paddingLeft == 0) {
            inBody = false;
            return Status::record;
        }
    }
    return Status::needMore;
}
