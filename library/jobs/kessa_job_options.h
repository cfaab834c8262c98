// KoKessaJobOptions: how a work item is scheduled, given at submission.
//
// `repeatMode` 1 makes a fresh parameters object ask for repetition;
// `delayMillis` + `delayMicros` is the pause between runs; items whose
// `exclusionMask`s share a bit never run at the same time. `name` labels the
// item. `callback` and `flag` are kept with the item for its owner (servers
// keep their stop callable there); the scheduler never calls or reads them.
// `dueTime` is set by the scheduler when it delays the item (100-ns ticks of
// the system clock). A plain value type.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "jobs/kessa_job_parameters_and_result.h"

using KoKessaJobBody =
    std::function<KoKessaJobParametersAndResult*(KoKessaJobParametersAndResult*)>;

struct KoKessaJobOptions {
    KoKessaJobBody callback = [](KoKessaJobParametersAndResult* p) { return p; };
    uint8_t flag = 1;
    uint32_t repeatMode = 0;
    uint64_t exclusionMask = 0;
    std::string name = "unknown";
    uint64_t delayMicros = 0;
    uint64_t delayMillis = 0;
    int64_t dueTime = 0;
};
