// Message layer, exchange engine: the event record through which servers
// report to their owner, and the callable that receives it.
//
// Kinds: 2 a server was destroyed, 3 a bind attempt failed and will be
// retried, 4 listening, 5 a connection was accepted, 6 raw bytes sent by the
// direct-socket layer, 7 an answer was sent. The callback's result is not
// examined. Callbacks run on the listener's thread (3, 4, 5), the thread that
// sends answers (7) and the destroying thread (2); they must be thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct KoServerCallback_t {
    std::int32_t kind = 0;
    std::map<std::string, std::string> values;
};

using KoServerCallback = std::function<bool(const KoServerCallback_t&)>;

namespace server_event {
inline constexpr std::int32_t destroyed = 2;
inline constexpr std::int32_t bindFailed = 3;
inline constexpr std::int32_t listening = 4;
inline constexpr std::int32_t accepted = 5;
inline constexpr std::int32_t rawBytesSent = 6;
inline constexpr std::int32_t answerSent = 7;
}  // namespace server_event
