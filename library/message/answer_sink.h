// Message layer: KoAnswerSink, where the answer to a request goes. A
// protocol layer that serves a connection on its event loop gives each
// request a sink (its connection) and a ticket; the router hands the answer
// to the sink, from the loop while it routes or from any other thread
// later (a CGI run), and the sink brings it to the connection's loop.
//
// answer() never blocks and never throws; an answer whose ticket is not the
// request the connection waits for (it was answered already, or the
// connection ended) is dropped.
#pragma once

#include <cstdint>
#include <memory>

class KoXResponseHeader;

class KoAnswerSink {
public:
    virtual void answer(std::shared_ptr<KoXResponseHeader> response) = 0;
    // Whether nobody waits for the answer any more (the client went away);
    // any thread.
    virtual bool ClientGone() const { return false; }

protected:
    ~KoAnswerSink() = default;
};
