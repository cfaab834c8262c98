#include "server/hooks/url_hook_worker.h"

#include <algorithm>
#include <exception>
#include <sstream>
#include <utility>

#include "foundation/exception.h"
#include "jobs/combined_task.h"
#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#include "server/hooks/hook_tls_connection.h"

namespace {

void dropConnection(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection.name, false);
}

KoServerSettings WorkerSettings(const KoURLHookSettings& hooks) {
    KoServerSettings settings;
    settings.inactivityTimeout = hooks.workerIdleTimeout;
    settings.teardownPoll = hooks.teardownPoll;
    return settings;
}

int remotePortOf(const KoXHeader& message) {
    if (message.port > 0 && message.port <= 65535) return static_cast<int>(message.port);
    return message.ProtocolCode() == protocol::HTTPS ? 443 : 80;
}

// Statuses whose answers never carry a body.
bool bodyless(std::int32_t status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

// A multipart body from the request's named blocks, for a POST without a
// prepared body.
std::string multipartOf(KoXHeader& request) {
    if (request.boundary.empty()) request.boundary = "velko" + request.name.substr(request.name.find('*') + 1);
    std::string body;
    for (const auto& block : request.blocks) {
        auto named = block->attributes.find("name");
        if (named == block->attributes.end() || named->second.empty()) continue;
        body += "--" + request.boundary + "\r\nContent-Disposition: form-data; name=\"" + named->second + "\"\r\n";
        auto type = block->attributes.find("mimetype");
        if (type != block->attributes.end() && type->second != "application/octet-stream")
            body += "Content-Type: " + type->second + "\r\n";
        body += "\r\n";
        if (block->content) body += std::string(block->content->view());
        body += "\r\n";
    }
    if (!body.empty()) body += "--" + request.boundary + "--\r\n";
    return body;
}

}  // namespace

KoURLHookWorker::KoURLHookWorker(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_, std::string clientId_,
                                 std::string messageId, std::shared_ptr<KoXHeader> message, std::string serviceId_,
                                 KoServerCallback callback_, KoURLHookAnswerSink sink_, KoURLHookSettings settings_,
                                 std::shared_ptr<const KoTlsContext> tlsContext_)
    : KoTransceiverServerL0Socket(scheduler_, transceiver_, std::move(clientId_), std::move(messageId), serviceId_,
                                  nullptr, std::move(callback_), message ? message->ProtocolCode() : protocol::HTTP,
                                  false, WorkerSettings(settings_)),
      hookSettings(std::move(settings_)),
      tlsContext(std::move(tlsContext_)),
      sink(std::move(sink_)),
      authority(message ? message->Authority() : std::string()),
      serviceId(std::move(serviceId_)) {
    if (message) {
        remoteHost = message->host;
        remotePort = remotePortOf(*message);
    }
}

KoURLHookWorker::~KoURLHookWorker() {
    withdraw();
    KoURLHookWorker::endJobs();
    std::shared_ptr<KoTransceiverConnection> own;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        own = std::move(connection);
    }
    // Through the connection's own transceiver: the worker may have been
    // detached already (expired, or its service let it go).
    if (own) own->transceiver.RemoveConnection(*own, false);
}

bool KoURLHookWorker::start() {
    KoTransceiver* target = AttachedTransceiver();
    auto failed = [this](const std::string& reason) {
        std::lock_guard<std::mutex> lock(textLock);
        statusText = reason;
        return false;
    };
    if (target == nullptr) return failed("no transceiver");
    if (remoteHost.empty()) return failed("no host to connect to");

    KoSocketSettings socketSettings;
    socketSettings.connectTimeout = hookSettings.connectTimeout;
    auto endpoint = std::make_shared<KoSocketIPvx>(socketSettings);
    if (endpoint->Connect(remoteHost, remotePort) != KoSocketIPvx::statusOk) {
        return failed("could not connect to " + authority);
    }

    KoServerCallback_t record;
    record.kind = server_event::accepted;
    record.values["remoteaddress"] = remoteHost;
    record.values["remoteport"] = std::to_string(remotePort);
    record.values["ID"] = name;
    KoStringMap description;
    description["type"] = protocolName;
    description["hoststring"] = remoteHost;
    description["port"] = std::to_string(remotePort);
    if (!IsKnownType(description)) return failed("protocol not served: " + authority);

    std::shared_ptr<KoTransceiverConnection> made;
    try {
        made = createConnection(*target, name, record, endpoint);
        if (auto* secure = dynamic_cast<KoURLHookTlsConnection*>(made.get())) secure->Connect(remoteHost);
    } catch (const std::exception& error) {
        return failed("TLS with " + authority + " failed: " + error.what());
    }
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        socket = endpoint;
        connection = made;
        connectionName = made->name;
    }
    const std::string registered = target->AddConnection(endpoint, made, {});
    {
        std::lock_guard<std::mutex> lock(textLock);
        statusText = registered;
    }
    startWatch();
    return true;
}

std::shared_ptr<KoTransceiverConnection> KoURLHookWorker::createConnection(KoTransceiver& target,
                                                                           const std::string& serverIdentifier,
                                                                           const KoServerCallback_t& record,
                                                                           std::shared_ptr<KoSocketIPvx> endpoint) {
    if (!tlsContext) {
        return KoTransceiverServerL0Socket::createConnection(target, serverIdentifier, record, std::move(endpoint));
    }
    KoTlsSettings tls;
    tls.clientHandshakeTimeout = hookSettings.handshakeTimeout;
    tls.clientHandshakeWriteWait = std::min(tls.clientHandshakeWriteWait, hookSettings.handshakeTimeout);
    const int descriptor = endpoint->fd() >= 0 ? endpoint->fd() : endpoint->fd4();
    auto made = std::shared_ptr<KoURLHookTlsConnection>(
        new KoURLHookTlsConnection(target, serverIdentifier, connectionTagText(), record, dropConnection,
                                   *tlsContext, descriptor, tls),
        KoJobDeleter());
    return made;
}

bool KoURLHookWorker::Busy() const {
    std::lock_guard<std::mutex> lock(exchangeLock);
    return current != nullptr;
}

bool KoURLHookWorker::Resting() const {
    std::lock_guard<std::mutex> lock(exchangeLock);
    return exchangesEnded != 0 && !current && !lost && reusable && connection != nullptr;
}

std::string KoURLHookWorker::ConnectionName() const {
    std::lock_guard<std::mutex> lock(exchangeLock);
    return connectionName;
}

bool KoURLHookWorker::checkTimedOut() {
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        if (lost || !reusable) return true;
    }
    return KoTransceiverServerL0Socket::checkTimedOut();
}

std::string KoURLHookWorker::writeRequest(KoXHeader& request) {
    const std::uint32_t state = request.state.load();
    if (!(state == header_state::Complete || (state == header_state::WriteEarly && request.writeEarly))) {
        request.setState(header_state::Complete);
    }
    std::string body;
    if (protocolCode == protocol::DirectSocket) return request.Body();
    if (request.methodCode.load() == method_code::POST) {
        body = request.Body();
        if (body.empty()) body = multipartOf(request);
        if (!request.presetLength) request.contentLength = body.size();
    }
    std::ostringstream out;
    if (!request.WriteHeader(out)) throw KoException("the request is not ready to be written", __LINE__, "src");
    return out.str() + body;
}

bool KoURLHookWorker::takeDescription(std::shared_ptr<KoXHeader> description, const std::string&, bool) {
    if (!description) return false;
    std::optional<Outcome> outcome;
    std::shared_ptr<KoTransceiverConnection> target;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        if (current || lost || !reusable || !connection) return false;
        current = description;
        answer = description->MakeAnswer();
        answer->description["ID"] = description->name;
        answer->connectionName = connectionName;
        answer->serverName = name;
        headerEnded = false;
        readToClose = protocolCode == protocol::DirectSocket;
        closeBody.clear();
        deadline = std::chrono::steady_clock::now() + hookSettings.answerTimeout;
        try {
            const std::string bytes = writeRequest(*description);
            std::size_t accepted = 0;
            connection->QueueBytes(bytes.data(), bytes.size(), accepted);
            target = connection;
        } catch (const std::exception& error) {
            outcome = failLocked(400, std::string("the request cannot be written: ") + error.what());
        }
    }
    touch();
    if (target) target->transceiver.WakeSender();
    finish(std::move(outcome));
    return true;
}

void KoURLHookWorker::processInput(const std::string&, const std::string&) {
    std::optional<Outcome> outcome;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        takeInputLocked(outcome);
    }
    finish(std::move(outcome));
}

void KoURLHookWorker::takeInputLocked(std::optional<Outcome>& outcome) {
    if (!connection) return;
    std::string bytes;
    connection->TakeInput(bytes);
    if (!bytes.empty()) feedLocked(bytes, outcome);
}

void KoURLHookWorker::feedLocked(const std::string& bytes, std::optional<Outcome>& outcome) {
    if (!current) {
        // Bytes nobody asked for: the stream can no longer be trusted.
        reusable = false;
        return;
    }
    deadline = std::chrono::steady_clock::now() + hookSettings.answerTimeout;
    if (readToClose) {
        closeBody += bytes;
        if (closeBody.size() > hookSettings.limits.maxBodySize) {
            outcome = failLocked(url_hook::kStatusNoExchange, "the answer of " + authority + " is too large");
        }
        return;
    }
    answer->AppendInput(bytes);
    const int result = answer->ConsumeHeader([this](KoXHeader&) {
        headerEnded = true;
        return true;
    });
    if (result == consume_result::Refused) {
        outcome = failLocked(url_hook::kStatusNoExchange,
                             "unreadable answer from " + authority + ": " + answer->RefusalReason());
        return;
    }
    const bool head = current->methodCode.load() == method_code::HEAD;
    if (result == consume_result::NeedMore) {
        if (headerEnded && (head || bodyless(answer->statusCode))) outcome = endLocked(answer, !answer->closeAfter);
        return;
    }
    if (answer->messageKind.load() != message_kind::Answer) {
        outcome = failLocked(url_hook::kStatusNoExchange, "no answer line from " + authority);
        return;
    }
    if (!answer->HasField("content-length") && !head && !bodyless(answer->statusCode)) {
        // No length and no chunks: the body ends with the stream.
        readToClose = true;
        closeBody = answer->TakeRemainder();
        return;
    }
    outcome = endLocked(answer, !answer->closeAfter && answer->TakeRemainder().empty());
}

KoURLHookWorker::Outcome KoURLHookWorker::endLocked(std::shared_ptr<KoXHeader> finished, bool keep) {
    Outcome outcome{std::move(current), std::move(finished)};
    outcome.answer->path = outcome.request->path;
    outcome.answer->setState(header_state::Complete);
    current.reset();
    answer.reset();
    ++exchangesEnded;
    readToClose = false;
    closeBody.clear();
    if (!keep) reusable = false;
    return outcome;
}

KoURLHookWorker::Outcome KoURLHookWorker::failLocked(std::int32_t status, const std::string& reason) {
    auto error = url_hook::ErrorAnswer(*current, status, reason);
    error->connectionName = connectionName;
    error->serverName = name;
    return endLocked(error, false);
}

void KoURLHookWorker::finish(std::optional<Outcome> outcome) {
    bool ended = false;
    std::shared_ptr<KoTransceiverConnection> drop;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        if ((lost || !reusable) && !endedPosted && !current) {
            endedPosted = true;
            ended = true;
            if (!lost) drop = connection;
        }
    }
    if (outcome) {
        if (sink) sink(outcome->request->name, outcome->answer);
        outcome->request->leaveCurrentJoinedTask("");
        post(job_code::taskDone, url_hook::ResultValues(*outcome->request, *outcome->answer));
    }
    if (ended) {
        if (KoTransceiver* target = AttachedTransceiver(); target != nullptr && drop) {
            target->RemoveConnection(drop->name, false);
        }
        post(job_code::ended, {});
    }
}

void KoURLHookWorker::post(std::uint32_t code, const KoStringMap& values) {
    KoJobMessage message;
    message.code = code;
    message.name = name;
    message.values = values;
    KoCombinedTask::instance().post(serviceId, message);
}

bool KoURLHookWorker::receive(KoJobMessage& message) {
    if (message.code == job_code::ended && !message.name.empty() && message.name == ConnectionName()) {
        connectionEnded();
        return true;
    }
    return KoTransceiverServerL0Socket::receive(message);
}

void KoURLHookWorker::connectionEnded() {
    std::optional<Outcome> outcome;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        takeInputLocked(outcome);
        lost = true;
        if (!outcome && current) {
            if (readToClose) {
                answer->Input().sputn(closeBody.data(), static_cast<std::streamsize>(closeBody.size()));
                answer->contentLength = closeBody.size();
                if (protocolCode == protocol::DirectSocket) answer->statusCode = 200;
                outcome = endLocked(answer, false);
            } else {
                outcome = failLocked(url_hook::kStatusNoExchange,
                                     "the connection to " + authority + " ended before the answer was complete");
            }
        }
    }
    finish(std::move(outcome));
}

void KoURLHookWorker::watch() {
    std::optional<Outcome> outcome;
    {
        std::lock_guard<std::mutex> lock(exchangeLock);
        if (current && std::chrono::steady_clock::now() >= deadline) {
            outcome = failLocked(url_hook::kStatusSilent,
                                 "no answer from " + authority + " within " +
                                     std::to_string(hookSettings.answerTimeout.count()) + " ms");
        }
    }
    finish(std::move(outcome));
}

void KoURLHookWorker::startWatch() {
    std::lock_guard<std::mutex> lock(watchLock);
    if (watchJob) return;
    KoKessaJobOptions options;
    options.name = "KoURLHookWorker_watch" + name;
    options.repeatMode = 1;
    options.delayMillis = static_cast<std::uint64_t>(std::max<std::int64_t>(1, hookSettings.watchInterval.count()));
    watchJob = scheduler.submit(
        [this](KoKessaJobParametersAndResult* p) {
            watch();
            return p;
        },
        nullptr, options);
}

void KoURLHookWorker::endJobs() {
    stopWatch();
    KoTransceiverServerL0Socket::endJobs();
}

void KoURLHookWorker::stopWatch() {
    std::optional<std::uint64_t> job;
    {
        std::lock_guard<std::mutex> lock(watchLock);
        job.swap(watchJob);
    }
    if (job) scheduler.cancelAndWait(*job);
}
