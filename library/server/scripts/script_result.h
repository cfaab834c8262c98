// Server stack: what a script run (CGI program or PHP script, a child per
// request or a pooled interpreter) gives the router to answer with.
//
// KoScriptOutput takes a run's output as it comes. The runner or the PHP
// pool calls started, then take for each piece and paused when the output
// pauses, all on the run's thread, and finish exactly once. take may block
// (the client is slow: the run is held up); false from take or paused ends
// the run (its process is killed). wanted() tells whether anybody still
// waits for the answer: a run is not started, and a running one is ended,
// once it says no. The run's time limit counts from when the output was
// made (the request's arrival), not from when the run began.
// KoCollectedOutput collects the whole output up to a limit and hands it on
// as a KoScriptResult.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct KoScriptResult {
    // 0: `output` is what the script wrote (a CGI header block and body);
    // otherwise the status that answers instead (502, 503 or 504).
    std::int32_t failureStatus = 0;
    std::string output;
};

class KoScriptOutput {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~KoScriptOutput() = default;
    // When the request came: its time limit counts from here.
    Clock::time_point arrived() const { return arrived_; }
    // Whether the answer is still awaited (the client has not gone); any thread.
    virtual bool wanted() { return true; }
    // The run begins; it is ended at deadline.
    virtual void started(Clock::time_point deadline) { (void)deadline; }
    // The next bytes of output.
    virtual bool take(std::string_view bytes) = 0;
    // How long the output may pause before paused() is told; < 0: never.
    virtual int pauseMs() const { return -1; }
    virtual bool paused() { return true; }
    // The run has ended: 0 when it completed, else the status that answers
    // a failure (502, 503, 504).
    virtual void finish(std::int32_t failureStatus) = 0;

private:
    const Clock::time_point arrived_ = Clock::now();
};

class KoCollectedOutput : public KoScriptOutput {
public:
    using Done = std::function<void(KoScriptResult)>;

    // Output past limit ends the run; it is answered 502.
    KoCollectedOutput(std::size_t limit, Done done);

    bool take(std::string_view bytes) override;
    void finish(std::int32_t failureStatus) override;

private:
    const std::size_t limit;
    Done done;
    KoScriptResult result;
    bool tooLarge = false;
};
