#include "server/scripts/script_result.h"

#include <utility>

KoCollectedOutput::KoCollectedOutput(std::size_t limit_, Done done_) : limit(limit_), done(std::move(done_)) {}

bool KoCollectedOutput::take(std::string_view bytes) {
    if (result.output.size() + bytes.size() > limit) {
        tooLarge = true;
        return false;
    }
    result.output.append(bytes);
    return true;
}

void KoCollectedOutput::finish(std::int32_t failureStatus) {
    result.failureStatus = tooLarge ? 502 : failureStatus;
    if (result.failureStatus != 0) result.output.clear();
    if (done) done(std::move(result));
}
