// Server stack: KoHTTPConnection, the connection of the HTTP layer. Beyond
// KoTransceiverConnection it sends files in bounded chunks as the socket
// takes them (the next chunk is read only when less than a chunk is left
// queued, so a large file never sits in memory whole, while a header and the
// start of its file still go out in one write), keeps later answers
// behind a file that is still being sent, and closes itself once all output
// has been written when asked to (CloseWhenDrained).
//
// Threads: the layer's threads queue; a send step (the send loop's, or a
// layer's writing an answer at once) refills from the file. The connection's
// output lock guards the queue, the files and the close flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

#include "message/transceiver_connection.h"

class KoHTTPConnection : public KoTransceiverConnection {
public:
    KoHTTPConnection(KoTransceiver& transceiver, std::string owner, std::string peer,
                     const KoServerCallback_t& record, KoConnectionHandler handler, std::size_t fileChunk);

    void Reset() override;
    void QueueBuffer(std::unique_ptr<KoStringBuf>& buffer) override;
    void QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) override;
    int SendStep(KoSocketIPvx& socket) override;

    // Queues size bytes of an open file, from offset on, behind what is
    // queued; the file is closed once they are sent (or the connection
    // ends) and no other queued piece shares it. Pieces that share a file
    // are read one after the other, each from its own offset.
    void QueueFile(std::shared_ptr<std::ifstream> file, std::uint64_t size, std::uint64_t offset = 0);
    // Ends the connection once everything queued is written; at once when
    // nothing is queued.
    virtual void CloseWhenDrained();
    // Files not yet completely queued.
    std::size_t FilesPending() const;

protected:
    void afterSentLocked() override { refillLocked(); }
    // A close was asked for and everything queued has been written; a send
    // step that finds so reports stepClosed.
    bool DrainedForClose() const;

private:
    struct Later {
        std::string bytes;
        std::shared_ptr<std::ifstream> file;
        std::uint64_t left = 0;
        std::uint64_t offset = 0;
        bool started = false;  // the file stands at offset
    };
    void queueTextLocked(std::string bytes);
    // Moves what may follow the sent bytes into the output queue.
    void refillLocked();
    bool drainedLocked() const;

    const std::size_t fileChunk;
    std::deque<Later> later;
    bool closeWhenDrained = false;
};
