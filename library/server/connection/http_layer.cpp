#include "server/connection/http_layer.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "message/http_tables.h"
#include "message/request_body_pipe.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "message/transceiver.h"
#include "platform/thread_slot.h"
#include "server/http/http_answer.h"
#include "server/files/file_cache.h"

namespace {

void dropConnection(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection, false);
}

// Field names looked up on every request, made once.
const std::string kTransferEncoding = "transfer-encoding";
const std::string kContentLength = "content-length";
const std::string kReferer = "referer";
const std::string kUserAgent = "user-agent";
const std::string kNoValue = "-";

// Whether the header announces a body at all: one without needs no plan.
bool AnnouncesBody(const KoXHeader& request) {
    if (request.HasField(kTransferEncoding)) return true;
    auto length = request.fields.find(kContentLength);
    return length != request.fields.end() && (length->second.empty() || length->second.front() != "0");
}

// The announced length of a body, -1 for chunks (or a length that the
// parser will refuse).
std::int64_t DeclaredLength(const KoXHeader& request) {
    std::uint64_t length = 0;
    if (request.HasField(kTransferEncoding) || !request.AnnouncedLength(length) ||
        length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return -1;
    }
    return static_cast<std::int64_t>(length);
}

// The first value of a field, or "-".
const std::string& FirstOrDash(const KoXHeader::FieldMap& fields, const std::string& name) {
    auto it = fields.find(name);
    return it == fields.end() || it->second.empty() ? kNoValue : it->second.front();
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
      pacing_{httpSettings.headerDeadline, httpSettings.bodyProgressDeadline, httpSettings.outputBound,
              httpSettings.sendfileThreshold},
      sink(std::move(sink_)) {}

KoTransceiverServerL1HTTP::~KoTransceiverServerL1HTTP() {
    withdraw();
    KoTransceiverServerL1HTTP::endJobs();
}

void KoTransceiverServerL1HTTP::endJobs() {
    KoTransceiverServerL0Socket::endJobs();
    // Its connections point back to the layer: none outlives it.
    if (KoTransceiver* target = AttachedTransceiver()) target->DropConnections(name);
}

std::shared_ptr<KoTransceiverConnection> KoTransceiverServerL1HTTP::createConnection(
    KoTransceiver& target, const std::string& serverIdentifier, const KoServerCallback_t& record,
    std::shared_ptr<KoSocketIPvx>) {
    return std::make_shared<KoHTTPConnection>(target, serverIdentifier, connectionTag, record, dropConnection,
                                              httpSettings.fileChunk, this, &pacing_);
}

std::shared_ptr<KoXHeader> KoTransceiverServerL1HTTP::newRequest(KoHTTPConnection& source) {
    auto request = std::allocate_shared<KoXHeader>(spare_buffers::SpareBlockAllocator<KoXHeader>(), method_code::NONE,
                                                   false, protocolCode, httpSettings.limits);
    request->messageKind.store(message_kind::Request);
    request->serverName = name;
    request->description = KoSharedValues(source.requestDescription());
    return request;
}

void KoTransceiverServerL1HTTP::processInput(const std::string& connectionName, const std::string&) {
    KoTransceiver* target = AttachedTransceiver();
    if (target == nullptr) return;
    auto connection = std::dynamic_pointer_cast<KoHTTPConnection>(target->FindConnection(connectionName));
    if (connection) connection->Resume();
}

bool KoTransceiverServerL1HTTP::planBody(KoXHeader& request) {
    // Without a planner every body is held, as the sink may read it.
    if (!planner || !AnnouncesBody(request)) return true;
    KoBodyPlan plan;
    try {
        plan = planner(request);
    } catch (const std::exception& error) {
        diagnostic(std::string("planning a request body failed: ") + escapeForLog(error.what()));
    }
    switch (plan.use) {
    case KoBodyPlan::Use::keep:
        request.SetBodyKeeping(KoBodyKeeping::memory);
        break;
    case KoBodyPlan::Use::spool:
        request.SetBodyKeeping(KoBodyKeeping::spill, httpSettings.bodyMemoryBound);
        break;
    case KoBodyPlan::Use::discard:
        request.SetBodyKeeping(KoBodyKeeping::discard);
        break;
    case KoBodyPlan::Use::stream:
        request.SetBodyKeeping(KoBodyKeeping::stream);
        request.SetBodyPipe(std::make_shared<KoRequestBodyPipe>(DeclaredLength(request)));
        break;
    case KoBodyPlan::Use::refuse:
        // A client that waits to be told to send its body is answered at
        // once and the connection closed, so that it never sends it; any
        // other client's body is read past and the connection goes on.
        request.SetBodyKeeping(KoAsksToContinue(request) && !KoIsHttp10Request(request) ? KoBodyKeeping::skip
                                                                                  : KoBodyKeeping::discard);
        break;
    }
    return plan.accepted();
}

void KoTransceiverServerL1HTTP::route(KoHTTPConnection& connection, std::shared_ptr<KoXHeader> request) {
    KoHTTPConnection::Exchange& x = connection.exchange();
    x.busy = true;
    x.answered = false;
    x.routing = true;
    request->answerSink = std::static_pointer_cast<KoHTTPConnection>(connection.weak_from_this().lock());
    request->answerTicket = connection.nextAnswerTicket();
    const int answered = dispatch(request);
    x.routing = false;
    if (!connection.Attached()) {
        x.busy = false;
        return;
    }
    if (connection.SwitchedProtocol()) return;
    if (x.answered) {
        // A streamed body frees the connection when it ends.
        if (!x.streaming) x.busy = false;
        return;
    }
    if (answered == answerPending) return;
    // Answered without an answer is a failure, not silence.
    auto response = request->MakeAnswer();
    response->statusCode = 500;
    response->closeAfter = request->closeAfter;
    response->setState(header_state::Complete);
    x.answered = true;
    write(connection, response);
    x.busy = false;
}

int KoTransceiverServerL1HTTP::dispatch(const std::shared_ptr<KoXHeader>& request) {
    try {
        return sink ? sink(serverId, request) : 0;
    } catch (const std::exception& error) {
        diagnostic(std::string("request failed: ") + escapeForLog(error.what()));
        return 0;
    }
}

void KoTransceiverServerL1HTTP::refuse(KoHTTPConnection& connection, std::int32_t status) {
    std::string answer = KoPlainAnswer(status, true);
    const std::uint64_t bytes = answer.size();
    connection.QueueText(std::move(answer));
    connection.Flush();
    KoXHeader stamp(method_code::ANSWER, false, protocolCode);
    stamp.statusCode = status;
    logAnswer(connection, stamp, kNoValue, bytes);
    connection.CloseWhenDrained();
}

namespace {
constexpr std::size_t kKeptLogLineBytes = 4096;
}  // namespace

void KoTransceiverServerL1HTTP::logAnswer(const KoTransceiverConnection& connection, const KoXHeader& response,
                                          const std::string& requestLine, std::uint64_t bytes,
                                          std::string_view protocolName) {
    KoAccessLogEntry entry;
    const std::string& remote = connection.RemoteAddress();
    if (!remote.empty()) entry.remoteAddress = remote;
    // A server's answers are all of one protocol: its name is made once.
    struct NamedProtocol {
        std::int32_t code = -1;
        std::string text;
    };
    NamedProtocol& named = platform::perThread<NamedProtocol>();
    if (const std::int32_t code = response.ProtocolCode(); code != named.code) {
        named.text = protocol::TypeNameOf(code);
        named.code = code;
    }
    if (!named.text.empty()) entry.protocolName = named.text;
    if (!protocolName.empty()) entry.protocolName = protocolName;
    entry.time = KoLogTime(response.createdAt);
    entry.requestLine = requestLine;
    entry.status = response.statusCode;
    entry.bytes = bytes;
    entry.referer = FirstOrDash(response.requestFields, kReferer);
    entry.userAgent = FirstOrDash(response.requestFields, kUserAgent);
    // Written into the same buffer line after line (a log writer that calls
    // back into the log gets a buffer of its own).
    struct LogLine {
        std::string kept;
    };
    std::string& kept = platform::perThread<LogLine>().kept;
    std::string line = std::move(kept);
    line.clear();
    KoAppendAccessLogLine(line, entry);
    if (!httpSettings.accessLog) {
        KoTransceiver::WriteLog(line);
    } else {
        try {
            httpSettings.accessLog(line);
        } catch (const std::exception& error) {
            diagnostic(std::string("the access log failed: ") + escapeForLog(error.what()));
        }
    }
    // A very long line's room is not kept.
    if (line.capacity() <= kKeptLogLineBytes) kept = std::move(line);
}

void KoTransceiverServerL1HTTP::writeStreamed(KoHTTPConnection& connection,
                                              const std::shared_ptr<KoXResponseHeader>& response) {
    std::shared_ptr<KoBodyStream> source = std::move(response->bodySource);
    const bool sends = source && response->SendsBody();
    const bool http10 = KoAnswersHttp10(*response);
    // An HTTP/1.0 client learns where such a body ends from the connection's end.
    // A known length (a host's streamed answer that gave one) frames the
    // body by itself; an unknown one is chunked.
    const bool known = !response->lengthUnknown;
    const bool closing = response->closeAfter || (sends && http10 && !known);
    std::string head = KoAnswerHead(*response, known ? response->contentLength : 0, closing);
    const std::uint64_t headBytes = head.size();
    connection.QueueText(std::move(head));
    if (sends) {
        connection.QueueStream(std::move(source), !http10 && !known,
                               [this, response, headBytes, closing](KoHTTPConnection& c, std::uint64_t bytes,
                                                                    bool complete) {
                                   logAnswer(c, *response, response->requestSummary, headBytes + bytes);
                                   if (closing || !complete) c.CloseWhenDrained();
                               });
        connection.Flush();
    } else {
        connection.Flush();
        logAnswer(connection, *response, response->requestSummary, headBytes);
        if (closing) connection.CloseWhenDrained();
    }
    response->leaveJoinedTask(response->currentJoinedTask());
}

void KoTransceiverServerL1HTTP::switchProtocol(KoHTTPConnection& connection,
                                               const std::shared_ptr<KoXResponseHeader>& response) {
    std::string head = KoAnswerHead(*response, 0, false);
    const std::uint64_t bytes = head.size();
    connection.QueueText(std::move(head));
    std::unique_ptr<KoConnectionProtocol> protocol = response->protocolAfter();
    connection.Flush();
    logAnswer(connection, *response, response->requestSummary, bytes);
    response->leaveJoinedTask(response->currentJoinedTask());
    if (protocol) {
        connection.SwitchProtocol(std::move(protocol));
    } else {
        connection.CloseWhenDrained();
    }
}

void KoTransceiverServerL1HTTP::write(KoHTTPConnection& connection, const std::shared_ptr<KoXResponseHeader>& response) {
    if (response->protocolAfter) {
        switchProtocol(connection, response);
        return;
    }
    if (response->lengthUnknown || response->bodySource) {
        writeStreamed(connection, response);
        return;
    }
    std::shared_ptr<const KoOpenFile> file;
    // A file its maker opened already (a host's answer) is sent from that
    // stream, whatever the name stands for now.
    std::shared_ptr<std::ifstream> stream;
    std::uint64_t length = 0;
    if (!response->bodyFile.empty() && response->bodyStream && *response->bodyStream) {
        stream = std::move(response->bodyStream);
        length = response->FileBodyLength();
    } else if (response->bodyOpenFile) {
        // The file the router decided on, opened and examined there.
        file = std::move(response->bodyOpenFile);
        if (response->bodySpans.empty()) response->bodyFileSize = static_cast<std::int64_t>(file->identity.size);
        length = response->FileBodyLength();
    } else if (!response->bodyFile.empty()) {
        response->bodyStream.reset();
        // Opened (or found open) before anything is announced.
        auto opened = KoFileCache::forThisThread().open(response->bodyFile);
        if (opened.ok() && opened.value()->identity.regular) {
            file = opened.value();
            // What the file holds now, should it have changed since routed.
            if (response->bodySpans.empty()) response->bodyFileSize = static_cast<std::int64_t>(file->identity.size);
            length = response->FileBodyLength();
        } else {
            if (opened.ok() || opened.error().notFound()) {
                // Gone since it was routed.
                response->statusCode = 404;
            } else {
                // It exists but cannot be read: a failure of the server's, never
                // a missing page.
                diagnostic("cannot open " + escapeForLog(response->bodyFile) + ": " + opened.error().text());
                response->statusCode = opened.error().outOfDescriptors() ? 503 : 500;
            }
            response->bodyFile.clear();
            response->bodySpans.clear();
            response->fields.clear();
        }
    }
    const bool fromFile = file || stream;
    std::string body;
    if (!fromFile) {
        body = response->Body();
        length = body.size();
    }
    const bool closing = response->closeAfter;
    std::string head = KoAnswerHead(*response, length, closing);
    std::uint64_t bytes = head.size();
    connection.QueueText(std::move(head));
    if (response->SendsBody()) {
        if (!fromFile) {
            connection.QueueText(std::move(body));
        } else if (response->bodySpans.empty()) {
            if (file) connection.QueueFile(std::move(file), 0, length);
            else connection.QueueFile(std::move(stream), length);
        } else {
            for (KoFileSpan& span : response->bodySpans) {
                connection.QueueText(std::move(span.before));
                if (file) connection.QueueFile(file, span.offset, span.length);
                else connection.QueueFile(stream, span.length, span.offset);
            }
            connection.QueueText(std::move(response->bodyAfter));
        }
        bytes += length;
    }
    // On the wire before it is reported.
    connection.Flush();
    logAnswer(connection, *response, response->requestSummary, bytes);
    if (closing) connection.CloseWhenDrained();
    response->leaveJoinedTask(response->currentJoinedTask());
}

bool KoTransceiverServerL1HTTP::writeMessage(const std::string& connectionName, std::shared_ptr<KoXHeader> message) {
    if (!message) return false;
    if (message->messageKind.load() == message_kind::Request) touch();
    if (!alive) {
        message->leaveJoinedTask(message->currentJoinedTask());
        return false;
    }
    auto response = std::dynamic_pointer_cast<KoXResponseHeader>(message);
    if (!response) {
        message->leaveJoinedTask(message->currentJoinedTask());
        return false;
    }
    response->setState(header_state::Complete);
    // The request's own connection, on its loop.
    if (auto answerSink = response->answerSink.lock()) {
        answerSink->answer(response);
        return true;
    }
    KoTransceiver* target = AttachedTransceiver();
    auto connection =
        target == nullptr ? nullptr : std::dynamic_pointer_cast<KoHTTPConnection>(target->FindConnection(connectionName));
    if (!connection) {
        response->leaveJoinedTask(response->currentJoinedTask());
        return true;
    }
    connection->WriteUnasked(response);
    return true;
}
