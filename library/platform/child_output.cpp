// The same on every platform: a run whose output is collected, built on the
// platform's own runChild.
#include <string>
#include <utility>

#include "platform/child_process.h"

namespace platform {

ChildRun runChild(const ChildOptions& options, std::string_view input, std::size_t maxOutput, int timeoutMs) {
    std::string collected;
    bool tooLarge = false;
    ChildRun run = runChild(
        options, input,
        [&](std::string_view bytes) {
            if (collected.size() + bytes.size() > maxOutput) {
                collected.append(bytes.substr(0, maxOutput - collected.size()));
                tooLarge = true;
                return false;
            }
            collected.append(bytes);
            return true;
        },
        timeoutMs);
    if (tooLarge && run.outcome == ChildRun::Outcome::abandoned) run.outcome = ChildRun::Outcome::outputTooLarge;
    run.output = std::move(collected);
    return run;
}

}  // namespace platform
