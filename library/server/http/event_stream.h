// Server stack: Server-Sent Events - how one event is written on a
// "text/event-stream" answer, and the comment line that keeps an idle
// stream open through proxies.
//
// A data text with line breaks becomes several "data:" lines (CR, LF and
// CR LF all break); the event name and id may not hold a line break (they
// are cut there) and an id may not hold NUL, as the format requires.
// Plain functions: any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

struct KoServerSentEvent {
    std::string data;
    std::string event;   // empty: "message"
    std::string id;      // empty: none (the client keeps the last one)
    std::optional<std::chrono::milliseconds> retry;  // the client's reconnection wait
};

// The lines of one event, ending with the blank line that dispatches it.
std::string KoFormatEvent(const KoServerSentEvent& event);

// A comment line (": text"), ignored by clients: a heartbeat.
std::string KoEventStreamComment(std::string_view text);
