// Server stack: KoTransceiverServerL1HTTP, the HTTP protocol layer. It
// parses the bytes of each accepted connection into requests (one at a time
// per connection, bytes behind a request kept for the next: pipelining),
// hands each complete request to the request sink (the owning client's
// router), and writes answers with one access-log line each (event kind 7).
//
// An answer the sink produces later (a CGI run) is announced by the result
// answerPending; until that answer has been written (answerComplete) the
// connection's next request waits, so answers keep their order.
//
// Slow peers: a request's header must be complete within `headerDeadline`
// of its first byte and a body must not stall for `bodyProgressDeadline`;
// a deadline watch job (a scheduler work item) has such connections answered
// 408 and closed. "Expect: 100-continue" is answered "100 Continue" before
// the body is read (or 413 at once when the announced body is too large).
// Refused requests are answered with their status and closed.
//
// Ownership: the layer owns the pending request headers (shared with the
// router while it answers); connections belong to the transceiver.
// Threads: processInput runs on the server's single worker; writeMessage
// and answerComplete on any thread; requestLock guards `pending`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/http_settings.h"
#include "server/transceiver_server_l0_socket.h"

class KoHTTPConnection;
class KoXResponseHeader;

class KoTransceiverServerL1HTTP : public KoTransceiverServerL0Socket {
public:
    // Given the server's registration name (the client's source) and a
    // complete request: 0 not answered, 1 answered, answerPending.
    using RequestSink = std::function<int(const std::string& source, std::shared_ptr<KoXHeader> request)>;
    static constexpr int answerPending = 2;

    KoTransceiverServerL1HTTP(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                              std::string serverId, std::string connectionTag,
                              std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                              RequestSink sink, KoHTTPSettings settings = {},
                              std::int32_t protocolCode = protocol::HTTP);
    ~KoTransceiverServerL1HTTP() override;

    // Code 1 (a connection was dropped) forgets its pending request.
    bool receive(KoJobMessage& message) override;
    bool start() override;
    // Ends the deadline watch, the listener and the worker.
    void endJobs() override;
    void processInput(const std::string& connection, const std::string& client) override;
    // Writes a response (KoXResponseHeader) on the connection: head, then the
    // in-memory body or the body file's spans in chunks (nothing for HEAD,
    // 204 or 304), then the log line; closes afterwards when the
    // response's closeAfter is set.
    // False when the server no longer lives or the message is no response.
    bool writeMessage(const std::string& connection, std::shared_ptr<KoXHeader> message) override;
    std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                              const std::string& serverIdentifier,
                                                              const KoServerCallback_t& record,
                                                              std::shared_ptr<KoSocketIPvx> socket) override;

    // A pending answer has been written: go on with the connection's input.
    void answerComplete(const std::string& connection);
    const KoHTTPSettings& HTTPSettings() const { return httpSettings; }
    // Connections with a request being read or answered.
    std::size_t PendingCount();

protected:
    struct Reading {
        std::shared_ptr<KoXHeader> header;
        std::string carry;  // bytes not yet given to a header
        std::chrono::steady_clock::time_point firstByte{};
        std::chrono::steady_clock::time_point lastProgress{};
        std::size_t bodyBytes = 0;
        bool headerDone = false;
        bool busy = false;
        bool expired = false;
        bool closed = false;
    };

    void stopWatch();

private:
    std::shared_ptr<KoXHeader> newRequest(const std::string& connection, const KoTransceiverConnection& source);
    void refuse(KoHTTPConnection& connection, std::int32_t status, const std::string& requestLine);
    void report7(const KoTransceiverConnection& connection, const KoXHeader& response, const std::string& requestLine,
                 std::uint64_t bytes);
    void watchLoop();

    const KoHTTPSettings httpSettings;
    RequestSink sink;

    std::mutex requestLock;
    std::map<std::string, Reading> pending;

    std::mutex watchLock;
    std::condition_variable watchWake;
    bool watching = false;
    std::optional<std::uint64_t> watchJob;
};
