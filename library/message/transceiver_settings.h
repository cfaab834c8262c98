// Message layer, exchange engine: the timing constants of the engine, as one
// settings record handed to KoTransceiver at construction. The defaults are
// the system's; tests shorten them.
#pragma once

#include <chrono>

struct KoTransceiverSettings {
    // A connection without input or queued output for this long is dropped.
    std::chrono::microseconds connectionTimeout{115'000'000};
    // How often the housekeeping thread looks for idle connections and
    // expired connecting servers.
    std::chrono::milliseconds housekeepingInterval{1000};
    // How often teardown asks the scheduler whether a loop job has ended.
    std::chrono::milliseconds teardownPoll{20};
};
