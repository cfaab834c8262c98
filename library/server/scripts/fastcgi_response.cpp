#include "server/scripts/fastcgi_response.h"

#include <utility>

KoFastCgiResponse::Status KoFastCgiResponse::feed(std::string_view bytes) {
    std::size_t used = 0;
    while (state == Status::needMore && used < bytes.size()) {
        switch (reader.next(bytes, used)) {
        case KoFastCgiRecordReader::Status::needMore:
            return state;
        case KoFastCgiRecordReader::Status::failed:
            return fail("bytes that are no FastCGI record");
        case KoFastCgiRecordReader::Status::record:
            state = take(reader.Current());
            break;
        }
    }
    if (state == Status::ended && used < bytes.size()) trailing = true;
    return state;
}

std::string KoFastCgiResponse::TakeErrors() {
    std::string taken;
    taken.swap(errors);
    return taken;
}

KoFastCgiResponse::Status KoFastCgiResponse::fail(std::string why) {
    failure = std::move(why);
    state = Status::failed;
    return state;
}

KoFastCgiResponse::Status KoFastCgiResponse::take(const KoFastCgiRecord& record) {
    if (record.id != id) return fail("a record for request " + std::to_string(record.id));
    switch (record.type) {
    case fastcgi::record::stdoutStream:
    case fastcgi::record::stderrStream: {
        const bool isOutput = record.type == fastcgi::record::stdoutStream;
        bool& ended = isOutput ? outputEnded : errorsEnded;
        if (ended) return fail(isOutput ? "output after its end" : "error output after its end");
        if (record.content.empty()) {
            ended = true;
        } else {
            (isOutput ? output : errors) += record.content;
        }
        return Status::needMore;
    }
    case fastcgi::record::endRequest: {
        if (record.content.size() != fastcgi::fixedBodyLength) return fail("an end record of the wrong size");
        const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(record.content[i])); };
        const std::uint8_t protocolStatus = static_cast<std::uint8_t>(byte(4));
        if (protocolStatus != fastcgi::protocol_status::requestComplete) {
            return fail("the request refused (protocol status " + std::to_string(protocolStatus) + ")");
        }
        appStatus = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
        return Status::ended;
    }
    default:
        return fail("a record of type " + std::to_string(record.type));
    }
}
