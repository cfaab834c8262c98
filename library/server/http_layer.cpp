#include "server/http_layer.h"

#include <cctype>
#include <charconv>
#include <system_error>
#include <fstream>
#include <iostream>
#include <utility>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "message/transceiver.h"
#include "server/http_answer.h"
#include "server/http_connection.h"

namespace {

void dropConnection(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection.name, false);
}

bool AsksToContinue(const KoXHeader& request) {
    if (!request.HasField("expect")) return false;
    std::string value = request.FirstValue("expect");
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value.find("100-continue") != std::string::npos;
}

// An HTTP/1.0 client knows no interim answers.
bool Http10Request(const KoXHeader& request) {
    auto first = request.fields.find(":first:");
    return first != request.fields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
}

std::string FirstOr(const KoXHeader::FieldMap& fields, const std::string& name, const std::string& fallback) {
    auto it = fields.find(name);
    return it == fields.end() || it->second.empty() ? fallback : it->second.front();
}

}  // namespace

KoTransceiverServerL1HTTP::KoTransceiverServerL1HTTP(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_,
                                                     std::string clientId_, std::string serverId_,
                                                     std::string connectionTag_,
                                                     std::shared_ptr<KoXServerHeader> header_,
                                                     KoServerCallback callback_, RequestSink sink_,
                                                     KoHTTPSettings settings_, std::int32_t protocolCode_)
    : KoTransceiverServerL0Socket(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                                  std::move(connectionTag_), std::move(header_), std::move(callback_), protocolCode_,
                                  true, settings_.server),
      httpSettings(std::move(settings_)),
      sink(std::move(sink_)) {}

KoTransceiverServerL1HTTP::~KoTransceiverServerL1HTTP() {
    withdraw();
    KoTransceiverServerL1HTTP::endJobs();
}

void KoTransceiverServerL1HTTP::endJobs() {
    stopWatch();
    KoTransceiverServerL0Socket::endJobs();
}

bool KoTransceiverServerL1HTTP::receive(KoJobMessage& message) {
    if (message.code == 1) {
        std::lock_guard<std::mutex> lock(requestLock);
        pending.erase(message.text);
        return true;
    }
    return KoTransceiverServerL0Socket::receive(message);
}

bool KoTransceiverServerL1HTTP::start() {
    if (!KoTransceiverServerL0Socket::start()) return false;
    std::lock_guard<std::mutex> lock(watchLock);
    if (watchJob) return true;
    watching = true;
    KoKessaJobOptions options;
    options.name = "KoTransceiverServerL1HTTP_deadlines" + name;
    options.callback = [this](KoKessaJobParametersAndResult* p) {
        {
            std::lock_guard<std::mutex> guard(watchLock);
            watching = false;
        }
        watchWake.notify_all();
        return p;
    };
    watchJob = scheduler.submit(
        [this](KoKessaJobParametersAndResult* p) {
            watchLoop();
            return p;
        },
        nullptr, options);
    return true;
}

void KoTransceiverServerL1HTTP::stopWatch() {
    std::optional<std::uint64_t> job;
    {
        std::lock_guard<std::mutex> lock(watchLock);
        watching = false;
        job.swap(watchJob);
    }
    watchWake.notify_all();
    if (job) scheduler.cancelAndWait(*job);
}

void KoTransceiverServerL1HTTP::watchLoop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(watchLock);
            watchWake.wait_for(lock, httpSettings.deadlineCheck, [this] { return !watching; });
            if (!watching) return;
        }
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::string> late;
        {
            std::lock_guard<std::mutex> lock(requestLock);
            for (auto& [connection, reading] : pending) {
                if (reading.busy || reading.closed || reading.expired || !reading.header) continue;
                const bool headerLate = !reading.headerDone && now - reading.firstByte > httpSettings.headerDeadline;
                const bool bodyLate = reading.headerDone && now - reading.lastProgress > httpSettings.bodyProgressDeadline;
                if (headerLate || bodyLate) {
                    reading.expired = true;
                    late.push_back(connection);
                }
            }
        }
        // The worker answers them, so that one thread reads each connection.
        for (const std::string& connection : late) queueForWorker(connection);
    }
}

std::shared_ptr<KoTransceiverConnection> KoTransceiverServerL1HTTP::createConnection(
    KoTransceiver& target, const std::string& serverIdentifier, const KoServerCallback_t& record,
    std::shared_ptr<KoSocketIPvx>) {
    return std::make_shared<KoHTTPConnection>(target, serverIdentifier, connectionTagText(), record, dropConnection,
                                              httpSettings.fileChunk);
}

std::shared_ptr<KoXHeader> KoTransceiverServerL1HTTP::newRequest(const std::string& connection,
                                                                 const KoTransceiverConnection& source) {
    auto request = std::make_shared<KoXHeader>(method_code::NONE, false, protocolCode, httpSettings.limits);
    request->messageKind.store(message_kind::Request);
    request->connectionName = connection;
    request->serverName = name;
    request->description = source.record.values;
    return request;
}

void KoTransceiverServerL1HTTP::processInput(const std::string& connectionName, const std::string&) {
    KoTransceiver* target = AttachedTransceiver();
    if (target == nullptr) return;
    auto found = target->FindConnection(connectionName);
    auto connection = std::dynamic_pointer_cast<KoHTTPConnection>(found);
    if (!connection) {
        std::lock_guard<std::mutex> lock(requestLock);
        pending.erase(connectionName);
        return;
    }
    std::string fresh;
    connection->TakeInput(fresh);

    for (;;) {
        std::shared_ptr<KoXHeader> request;
        std::string bytes;
        bool timedOut = false;
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(requestLock);
            Reading& reading = pending[connectionName];
            reading.carry += fresh;
            fresh.clear();
            if (reading.closed) return;
            if (reading.expired) {
                reading.closed = true;
                timedOut = true;
            } else {
                if (reading.busy) return;
                if (!reading.header) {
                    if (reading.carry.empty()) return;
                    reading.header = newRequest(connectionName, *connection);
                    reading.firstByte = now;
                    reading.lastProgress = now;
                    reading.headerDone = false;
                    reading.bodyBytes = 0;
                }
                request = reading.header;
                bytes.swap(reading.carry);
            }
        }
        if (timedOut) {
            refuse(*connection, 408, "-");
            return;
        }

        bool headerEnded = false;
        const auto filter = [&](KoXHeader& header) {
            headerEnded = true;
            // The client waits for this before it sends the body.
            if (AsksToContinue(header) && header.HasField("content-length") && !Http10Request(header)) {
                const std::string length = header.FirstValue("content-length");
                // A malformed or oversized length is refused once the header is
                // complete; it must not fail here.
                std::uint64_t announced = 0;
                const char* end = length.data() + length.size();
                const auto parsed = std::from_chars(length.data(), end, announced);
                if (parsed.ec == std::errc() && parsed.ptr == end && announced != 0 &&
                    announced <= header.Limits().maxBodySize) {
                    static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                    std::size_t accepted = 0;
                    connection->QueueBytes(kContinue, sizeof kContinue - 1, accepted);
                    target->WakeSender();
                }
            }
            return true;
        };
        int result = consume_result::Refused;
        try {
            std::lock_guard<std::mutex> headerLock(request->mutex);
            request->AppendInput(bytes);
            result = request->ConsumeHeader(filter);
        } catch (const std::exception&) {
            result = consume_result::Refused;
        }

        if (result == consume_result::NeedMore) {
            std::lock_guard<std::mutex> lock(requestLock);
            Reading& reading = pending[connectionName];
            if (headerEnded && !reading.headerDone) {
                reading.headerDone = true;
                reading.lastProgress = now;
            }
            const std::size_t body = request->BodySize();
            if (reading.headerDone && body != reading.bodyBytes) {
                reading.bodyBytes = body;
                reading.lastProgress = now;
            }
            return;
        }
        if (result != consume_result::Complete) {
            {
                std::lock_guard<std::mutex> lock(requestLock);
                pending[connectionName].closed = true;
            }
            const std::int32_t status = request->RefusalStatus() == 0 ? 400 : request->RefusalStatus();
            refuse(*connection, status, "-");
            return;
        }

        {
            std::lock_guard<std::mutex> lock(requestLock);
            Reading& reading = pending[connectionName];
            reading.header.reset();
            reading.carry = request->TakeRemainder() + reading.carry;
            reading.busy = true;
        }
        int answered = 0;
        try {
            answered = sink ? sink(serverId, request) : 0;
        } catch (const std::exception& error) {
            std::cerr << "request failed: " << error.what() << std::endl;
            answered = 0;
        }
        if (answered == 0) {
            auto response = request->MakeAnswer();
            response->statusCode = 500;
            response->closeAfter = request->closeAfter;
            response->setState(header_state::Complete);
            writeMessage(connectionName, response);
        }
        const bool close = request->closeAfter;
        {
            std::lock_guard<std::mutex> lock(requestLock);
            Reading& reading = pending[connectionName];
            if (answered != answerPending) reading.busy = false;
            if (close) reading.closed = true;
        }
        if (answered == answerPending) return;
        if (close) {
            connection->CloseWhenDrained();
            return;
        }
    }
}

void KoTransceiverServerL1HTTP::answerComplete(const std::string& connection) {
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(requestLock);
        auto it = pending.find(connection);
        if (it == pending.end()) return;
        it->second.busy = false;
        closed = it->second.closed;
    }
    if (!closed) queueForWorker(connection);
}

std::size_t KoTransceiverServerL1HTTP::PendingCount() {
    std::lock_guard<std::mutex> lock(requestLock);
    return pending.size();
}

void KoTransceiverServerL1HTTP::refuse(KoHTTPConnection& connection, std::int32_t status,
                                       const std::string& requestLine) {
    const std::string answer = KoPlainAnswer(status, true);
    std::size_t accepted = 0;
    connection.QueueBytes(answer.data(), answer.size(), accepted);
    if (KoTransceiver* target = AttachedTransceiver()) target->SendNow(connection.name);
    KoXHeader stamp(method_code::ANSWER, false, protocolCode);
    stamp.statusCode = status;
    report7(connection, stamp, requestLine, answer.size());
    connection.CloseWhenDrained();
}

void KoTransceiverServerL1HTTP::report7(const KoTransceiverConnection& connection, const KoXHeader& response,
                                        const std::string& requestLine, std::uint64_t bytes) {
    KoAccessLogEntry entry;
    auto remote = connection.record.values.find("remoteaddress");
    if (remote != connection.record.values.end()) entry.remoteAddress = remote->second;
    const std::string protocolText = protocol::TypeNameOf(response.ProtocolCode());
    entry.protocolName = protocolText.empty() ? "none" : protocolText;
    entry.time = KoLogTime(response.createdAt);
    entry.requestLine = requestLine;
    entry.status = response.statusCode;
    entry.bytes = bytes;
    entry.referer = FirstOr(response.requestFields, "referer", "-");
    entry.userAgent = FirstOr(response.requestFields, "user-agent", "-");
    KoServerCallback_t event;
    event.kind = server_event::answerSent;
    event.values["logging"] = KoAccessLogLine(entry);
    report(event);
}

bool KoTransceiverServerL1HTTP::writeMessage(const std::string& connectionName, std::shared_ptr<KoXHeader> message) {
    if (!message) return false;
    if (message->messageKind.load() == message_kind::Request) {
        std::lock_guard<std::mutex> lock(requestLock);
        pending.erase(connectionName);
        touch();
    }
    const std::string group = message->currentJoinedTask();
    if (!alive) {
        message->leaveJoinedTask(group);
        return false;
    }
    auto response = std::dynamic_pointer_cast<KoXResponseHeader>(message);
    KoTransceiver* target = AttachedTransceiver();
    auto connection = target == nullptr ? nullptr
                                        : std::dynamic_pointer_cast<KoHTTPConnection>(target->FindConnection(connectionName));
    if (!response || !connection) {
        message->leaveJoinedTask(group);
        return response != nullptr;
    }

    std::shared_ptr<std::ifstream> file;
    std::uint64_t length = 0;
    if (!response->bodyFile.empty()) {
        file = response->bodyStream ? std::move(response->bodyStream)
                                    : std::make_unique<std::ifstream>(response->bodyFile, std::ios::binary);
        if (!*file) {
            // Gone since it was routed: nothing was announced yet.
            file.reset();
            response->bodyFile.clear();
            response->bodySpans.clear();
            response->statusCode = 404;
            response->fields.clear();
        } else {
            length = response->FileBodyLength();
        }
    }
    std::string body;
    if (!file) {
        body = response->Body();
        length = body.size();
    }
    const bool closing = response->closeAfter;
    const std::string head = KoAnswerHead(*response, length, closing);
    std::uint64_t bytes = head.size();
    std::size_t accepted = 0;
    connection->QueueBytes(head.data(), head.size(), accepted);
    if (response->SendsBody()) {
        if (!file) {
            connection->QueueBytes(body.data(), body.size(), accepted);
        } else if (response->bodySpans.empty()) {
            connection->QueueFile(std::move(file), length);
        } else {
            for (const KoFileSpan& span : response->bodySpans) {
                connection->QueueBytes(span.before.data(), span.before.size(), accepted);
                connection->QueueFile(file, span.length, span.offset);
            }
            connection->QueueBytes(response->bodyAfter.data(), response->bodyAfter.size(), accepted);
        }
        bytes += length;
    }
    target->SendNow(connectionName);
    report7(*connection, *response, response->requestSummary, bytes);
    if (closing) connection->CloseWhenDrained();
    message->leaveJoinedTask(group);
    return true;
}
