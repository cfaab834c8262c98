// KoJobMessage: the record that jobs send each other through the dispatcher.
//
// A plain value type, copied when posted; the receiver gets the dispatcher's
// copy and may append to `items`. Codes used across the library: 2, 3 and 8
// belong to the exchange engine, connections and servers; 6 is sent by the
// dispatcher when a joined task is reduced to one member ("kommt später"
// when a member left, "kommt später A" when a member was withdrawn).
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

// Code of the dispatcher's own messages.
inline constexpr uint32_t KoJobMessageCodeJoinReduced = 6;
