// Message layer, exchange engine: KoTransceiverLayer, what the engine knows
// of a protocol layer or hook service (the server classes live in the server
// subsystem, above this one, and derive from it).
//
// The engine creates layers through factories installed per protocol code
// (KoTransceiver::SetLayerFactory), attaches and starts them, asks them
// whether they have expired, and stops, ends and detaches them at teardown. All
// operations may be called from any thread; a layer guards its own state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/job_with_timeout.h"

class KoTransceiver;
class KoXHeader;

class KoTransceiverLayer : public KoJobWithTimeout {
public:
    using KoJobWithTimeout::KoJobWithTimeout;

    // Starts the layer's jobs; false when it could not start.
    virtual bool start() = 0;
    // Asks the layer's jobs to end; returns at once.
    virtual void stop() = 0;
    // Ends the layer's jobs and waits until they have. The transceiver calls
    // it before it lets go of the layer: a job of the layer may hold the
    // last reference, and a layer destroyed on one of its own jobs would
    // wait for that job's end forever.
    virtual void endJobs() {}
    // Binds the layer to a transceiver; false when it is bound already.
    virtual bool attach(KoTransceiver& transceiver) = 0;
    // Forgets the transceiver if it is this one.
    virtual void detach(KoTransceiver& transceiver) = 0;
    // Whether checkTimedOut can ever answer true (housekeeping sleeps while
    // no registered layer can expire).
    virtual bool canExpire() const { return true; }
    // The job that is told (code 1) when this layer expires.
    virtual std::string connectionTagText() const = 0;
    // A description routed to this layer by KoTransceiver::Dispatch; false
    // when the layer does not take descriptions.
    virtual bool takeDescription(std::shared_ptr<KoXHeader> description,
                                 const std::string& joinedTask, bool flag) {
        (void)description;
        (void)joinedTask;
        (void)flag;
        return false;
    }
};
