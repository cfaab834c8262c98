#include "server/http/event_stream.h"

namespace {

std::string_view FirstLine(std::string_view text) { return text.substr(0, text.find_first_of("\r\n")); }

}  // namespace

std::string KoFormatEvent(const KoServerSentEvent& event) {
    std::string out;
    out.reserve(event.data.size() + 32);
    if (!event.event.empty()) {
        out += "event: ";
        out += FirstLine(event.event);
        out += '\n';
    }
    if (!event.id.empty()) {
        std::string_view id = FirstLine(event.id);
        id = id.substr(0, id.find('\0'));
        out += "id: ";
        out += id;
        out += '\n';
    }
    if (event.retry) out += "retry: " + std::to_string(event.retry->count()) + "\n";
    std::string_view data = event.data;
    while (true) {
        const std::size_t end = data.find_first_of("\r\n");
        out += "data: ";
        out += data.substr(0, end);
        out += '\n';
        if (end == std::string_view::npos) break;
        const std::size_t next = data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n' ? end + 2 : end + 1;
        data.remove_prefix(next);
    }
    out += '\n';
    return out;
}

std::string KoEventStreamComment(std::string_view text) {
    std::string out = ":";
    if (!text.empty()) {
        out += ' ';
        out += FirstLine(text);
    }
    out += "\n\n";
    return out;
}
