// KoJobMessage: the record that jobs send each other through the dispatcher.
//
// A plain value type, copied when posted; the receiver gets the dispatcher's
// copy and may append to `items`. The codes used across the library are
// named in job_code below; their numbers are what jobs and their hosts have
// always exchanged.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct KoJobMessage {
    std::string name;  // a job name carried by the message
    std::string text;
    uint32_t code = 0;
    std::vector<std::string> items;
    std::map<std::string, std::string> values;
};

namespace job_code {
// Something the receiver knew of ended: the connection or server `name`
// (told to its owner), or the hook worker `name` (told to its service).
inline constexpr uint32_t ended = 1;
// A connecting server is to stop.
inline constexpr uint32_t stop = 2;
// A server is asked for its status text (appended to `items`); to a server
// the transceiver drops, the end of its service.
inline constexpr uint32_t status = 3;
// A hook worker finished the exchange it was given (`values` its result).
inline constexpr uint32_t taskDone = 5;
// A joined task was reduced to one member ("kommt später" when a member
// left, "kommt später A" when one was withdrawn), sent by the dispatcher;
// also a hook's result with a joined task of its own, to the hook's client.
inline constexpr uint32_t joinReduced = 6;
// Bytes arrived on the connection `name` (`text`: its name too).
inline constexpr uint32_t inputArrived = 8;
}  // namespace job_code
