// KoKessaJobParametersAndResult: what a scheduler work item takes and returns.
//
// The scheduler creates one per submission unless the caller passes its own
// (a derived type may carry the item's data), stores the job number in `id`
// and hands it to the body on every run. A body normally returns the object
// it was given, with `repeatMode` 1 to run again after the item's delay or
// any other value to end. Ownership: the scheduler owns the parameters and
// what the body returns until takeResult hands the result to the caller.
// Not thread-safe: one run uses it at a time.
#pragma once

#include <cstdint>

class KoKessaJobParametersAndResult {
public:
    KoKessaJobParametersAndResult() = default;
    KoKessaJobParametersAndResult(uint64_t id, uint64_t runs, uint32_t repeatMode)
        : id(id), runs(runs), repeatMode(repeatMode) {}
    KoKessaJobParametersAndResult(const KoKessaJobParametersAndResult&) = default;
    KoKessaJobParametersAndResult& operator=(const KoKessaJobParametersAndResult&) = default;
    virtual ~KoKessaJobParametersAndResult() = default;

    // Copies `id` and `runs`; leaves `repeatMode` alone.
    virtual void assign(const KoKessaJobParametersAndResult& other) {
        id = other.id;
        runs = other.runs;
    }

    uint64_t id = 0;
    uint64_t runs = 1;
    uint32_t repeatMode = 0;
};

// repeatMode value that asks for another run after the delay.
inline constexpr uint32_t KoKessaRepeat = 1;
