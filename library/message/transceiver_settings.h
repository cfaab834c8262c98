// Message layer, exchange engine: the timing constants of the engine, as one
// settings record handed to KoTransceiver at construction. The defaults are
// the system's; tests shorten them.
#pragma once

#include <chrono>
#include <cstddef>

struct KoTransceiverSettings {
    // Event loops, each on a thread of its own; 0: one per processor this
    // process may run on.
    std::size_t loops = 0;
    // A connection without input or queued output for this long is dropped.
    std::chrono::microseconds connectionTimeout{115'000'000};
    // How often the housekeeping thread looks for expired connecting
    // servers (while there are any).
    std::chrono::milliseconds housekeepingInterval{1000};
    // Idle connections closed at once to make room when accept runs out of
    // descriptors.
    std::size_t shedBatch = 16;
    // How often teardown asks the scheduler whether a loop job has ended.
    std::chrono::milliseconds teardownPoll{20};
};
