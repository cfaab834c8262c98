#include "http2/http2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "foundation/exception.h"

namespace {

// The HPACK table for the fields we send (the peer's for its requests
// stays as the SETTINGS say).
constexpr std::size_t kAnswerTableSize = 4096;

// Names that HTTP/2 forbids in a message: connection-specific fields
// (looked at only when the length is one of theirs: most names are not).
bool ConnectionSpecific(std::string_view name) {
    switch (name.size()) {
    case 7:
        return name == "upgrade";
    case 10:
        return name == "connection" || name == "keep-alive";
    case 16:
        return name == "proxy-connection";
    case 17:
        return name == "transfer-encoding";
    default:
        return false;
    }
}

// A field HTTP/2 forbids in a request (answered with a reset).
bool ForbiddenField(const KoHttp2Request& request) {
    for (const auto& [name, value] : request.fields) {
        if (ConnectionSpecific(name) || (name == "te" && value != "trailers")) return true;
    }
    return false;
}

// A field nghttp2 frames where it lies (its stream keeps the bytes; the
// name is in lower case already, which nghttp2's copy would make it).
nghttp2_nv Pair(std::string_view name, std::string_view value) {
    nghttp2_nv nv;
    nv.name = reinterpret_cast<uint8_t*>(const_cast<char*>(name.data()));
    nv.namelen = name.size();
    nv.value = reinterpret_cast<uint8_t*>(const_cast<char*>(value.data()));
    nv.valuelen = value.size();
    nv.flags = NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE;
    return nv;
}

}  // namespace

KoHttp2Fields::KoHttp2Fields(std::initializer_list<Field> fields) {
    for (const Field& field : fields) add(field.first, field.second);
}

void KoHttp2Fields::reserve(std::size_t count, std::size_t bytes) {
    spans_.reserve(count);
    text_.reserve(bytes);
}

void KoHttp2Fields::clear() {
    text_.clear();
    spans_.clear();
    building_ = Span{};
}

void KoHttp2Fields::add(std::string_view name, std::string_view value) {
    startField();
    for (char c : name) text_ += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    endName();
    text_.append(value);
    endField();
}

void KoHttp2Fields::addLowerCase(std::string_view name, std::string_view value) {
    startField();
    text_.append(name);
    endName();
    text_.append(value);
    endField();
}

std::vector<std::pair<std::string, std::string>> KoHttp2Fields::pairs() const {
    std::vector<std::pair<std::string, std::string>> all;
    all.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
        const Field field = (*this)[i];
        all.emplace_back(std::string(field.first), std::string(field.second));
    }
    return all;
}

KoHttp2TextBody::Read KoHttp2TextBody::read(char* into, std::size_t capacity) {
    const std::size_t take = std::min(capacity, text_.size() - at_);
    std::memcpy(into, text_.data() + at_, take);
    at_ += take;
    return {take, at_ == text_.size(), false};
}

std::string_view KoHttp2TextBody::inPlace(std::size_t capacity, bool& ended) {
    const std::string_view next = std::string_view(text_).substr(at_, capacity);
    at_ += next.size();
    ended = at_ == text_.size();
    return next;
}

struct KoHttp2ServerSession::Callbacks {
    static KoHttp2ServerSession& Of(void* user) { return *static_cast<KoHttp2ServerSession*>(user); }

    static int BeginFrame(nghttp2_session*, const nghttp2_frame_hd* header, void* user) {
        KoHttp2ServerSession& self = Of(user);
        if (self.failed_) return 0;
        const bool ends = (header->flags & NGHTTP2_FLAG_END_STREAM) != 0;
        if (header->length == 0 && !ends &&
            (header->type == NGHTTP2_DATA || header->type == NGHTTP2_CONTINUATION)) {
            self.countFrame(self.emptyFrames_, self.limits_.emptyFramesPerSecond, "empty frames");
        }
        if (header->type == NGHTTP2_RST_STREAM) self.takeResetToken();
        if (header->type == NGHTTP2_PING || header->type == NGHTTP2_SETTINGS) {
            self.countFrame(self.controlFrames_, self.limits_.controlFramesPerSecond, "SETTINGS and PING frames");
        }
        return 0;
    }

    static int BeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        KoHttp2ServerSession& self = Of(user);
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
        Stream& stream = self.streams_.open(frame->hd.stream_id);
        stream.request.stream = frame->hd.stream_id;
        // A browser's request has about a dozen fields, some long (a
        // cookie, the user agent): room for them at once, kept by the
        // stream's spare entry for the next.
        stream.request.fields.reserve(16, 1024);
        self.headerStream_ = &stream;
        return 0;
    }

    static int Header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
                      const uint8_t* value, size_t valuelen, uint8_t, void* user) {
        KoHttp2ServerSession& self = Of(user);
        if (self.failed_) return 0;
        Stream* found = self.headerStream_;
        if (found == nullptr || found->request.stream != frame->hd.stream_id) found = self.find(frame->hd.stream_id);
        if (found == nullptr) return 0;
        Stream& stream = *found;
        // An HPACK bomb decodes to far more than it weighs on the wire.
        stream.headerBytes += namelen + valuelen + 32;
        if (stream.headerBytes > self.limits_.maxHeaderList) {
            self.fail(NGHTTP2_ENHANCE_YOUR_CALM, "a header list above the bound");
            return 0;
        }
        const std::string_view n(reinterpret_cast<const char*>(name), namelen);
        const std::string_view v(reinterpret_cast<const char*>(value), valuelen);
        KoHttp2Request& request = stream.request;
        const bool pseudo = !n.empty() && n.front() == ':';
        if (pseudo && n == ":method") {
            request.method.assign(v);
        } else if (pseudo && n == ":scheme") {
            request.scheme.assign(v);
        } else if (pseudo && n == ":authority") {
            request.authority.assign(v);
        } else if (pseudo && n == ":path") {
            request.path.assign(v);
        } else {
            // nghttp2 lets no upper-case name through.
            request.fields.addLowerCase(n, v);
        }
        return 0;
    }

    static int DataChunk(nghttp2_session*, uint8_t, int32_t stream_id, const uint8_t* data, size_t len, void* user) {
        KoHttp2ServerSession& self = Of(user);
        Stream* found = self.find(stream_id);
        if (found == nullptr) {
            // Held by nobody: the window is given back at once.
            nghttp2_session_consume(self.session_, stream_id, len);
            return 0;
        }
        Stream& stream = *found;
        if (stream.started) {
            // The connection's window goes back at once, so that one slow
            // reader holds back its own stream only.
            nghttp2_session_consume_connection(self.session_, len);
            const std::string_view bytes(reinterpret_cast<const char*>(data), len);
            if (!self.handler_.requestData(self, stream_id, bytes)) nghttp2_session_consume_stream(self.session_, stream_id, len);
            return 0;
        }
        nghttp2_session_consume(self.session_, stream_id, len);
        if (stream.tooLarge) return 0;
        if (stream.request.body.size() + len > self.limits_.maxBody || self.bodyBytes_ + len > self.limits_.maxBodies) {
            stream.tooLarge = true;
            self.bodyBytes_ -= stream.request.body.size();
            std::string().swap(stream.request.body);
            return 0;
        }
        stream.request.body.append(reinterpret_cast<const char*>(data), len);
        self.bodyBytes_ += len;
        return 0;
    }

    static int FrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        KoHttp2ServerSession& self = Of(user);
        if (self.failed_) return 0;
        const bool ends = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
        if (frame->hd.type != NGHTTP2_DATA && frame->hd.type != NGHTTP2_HEADERS) return 0;
        Stream* found = self.find(frame->hd.stream_id);
        if (found == nullptr) return 0;
        Stream& stream = *found;
        if (stream.started) {
            if (ends) self.handler_.requestEnded(self, frame->hd.stream_id);
            return 0;
        }
        if (!ends) {
            // A request's header with its body to follow.
            if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST &&
                !ForbiddenField(stream.request)) {
                stream.started = self.handler_.requestStarts(self, stream.request);
            }
            return 0;
        }
        if (stream.tooLarge) {
            self.respond(frame->hd.stream_id, 413, {{"content-type", "text/plain"}},
                         std::make_unique<KoHttp2TextBody>("request body too large\n"));
            return 0;
        }
        if (ForbiddenField(stream.request)) {
            nghttp2_submit_rst_stream(self.session_, NGHTTP2_FLAG_NONE, frame->hd.stream_id, NGHTTP2_PROTOCOL_ERROR);
            return 0;
        }
        self.bodyBytes_ -= stream.request.body.size();
        const std::int32_t id = frame->hd.stream_id;
        self.handler_.request(self, std::move(stream.request));
        // The body is the handler's now, whether it moved it or not: it no
        // longer counts as held (the stream's end must not subtract it again).
        found = self.find(id);
        if (found != nullptr) std::string().swap(found->request.body);
        return 0;
    }

    static int StreamClosed(nghttp2_session*, int32_t stream_id, uint32_t, void* user) {
        KoHttp2ServerSession& self = Of(user);
        if (self.find(stream_id) == nullptr) return 0;
        self.closeStream(stream_id);
        self.handler_.streamClosed(self, stream_id);
        return 0;
    }

    static ssize_t ReadBody(nghttp2_session*, int32_t stream_id, uint8_t* buf, size_t length, uint32_t* flags,
                            nghttp2_data_source*, void* user) {
        KoHttp2ServerSession& self = Of(user);
        Stream* found = self.find(stream_id);
        if (found == nullptr || !found->body) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            return 0;
        }
        Stream& stream = *found;
        if (self.output_ != nullptr) {
            bool ended = false;
            const std::string_view lying = stream.body->inPlace(length, ended);
            if (!lying.empty()) {
                // SendData writes the frame from where the bytes lie.
                stream.lying = lying;
                *flags |= NGHTTP2_DATA_FLAG_NO_COPY;
                if (ended) {
                    *flags |= NGHTTP2_DATA_FLAG_EOF;
                    stream.bodyEnded = true;
                }
                return static_cast<ssize_t>(lying.size());
            }
        }
        const KoHttp2Body::Read read = stream.body->read(reinterpret_cast<char*>(buf), length);
        if (read.failed) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        if (read.deferred && read.bytes == 0) {
            stream.deferred = true;
            return NGHTTP2_ERR_DEFERRED;
        }
        if (read.ended) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            stream.bodyEnded = true;
        }
        return static_cast<ssize_t>(read.bytes);
    }

    static int SendData(nghttp2_session*, nghttp2_frame* frame, const uint8_t* header, size_t length,
                        nghttp2_data_source*, void* user) {
        KoHttp2ServerSession& self = Of(user);
        Stream* found = self.find(frame->hd.stream_id);
        if (found == nullptr || self.output_ == nullptr || found->lying.size() != length) {
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        std::string& out = *self.output_;
        constexpr std::size_t frameHeader = 9;
        out.append(reinterpret_cast<const char*>(header), frameHeader);
        // No padding is asked for; were there any, its length byte comes
        // first and its zeros last.
        const std::size_t padding = frame->data.padlen;
        if (padding > 0) out.push_back(static_cast<char>(padding - 1));
        out.append(found->lying);
        if (padding > 1) out.append(padding - 1, '\0');
        found->lying = {};
        // nghttp2 goes on to the next frame in the same call: a long body
        // stops at the bound as copied frames do.
        return out.size() - self.outputStart_ >= self.outputLimit_ ? NGHTTP2_ERR_PAUSE : 0;
    }
};

KoHttp2ServerSession::KoHttp2ServerSession(Handler& handler, KoHttp2Limits limits)
    : handler_(handler), limits_(limits), resetTokens_(static_cast<double>(limits.resetBurst)) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_option* option = nullptr;
    if (nghttp2_session_callbacks_new(&callbacks) != 0 || nghttp2_option_new(&option) != 0) {
        nghttp2_session_callbacks_del(callbacks);
        throw KoException("no memory for an HTTP/2 session", __LINE__, "src");
    }
    nghttp2_session_callbacks_set_on_begin_frame_callback(callbacks, Callbacks::BeginFrame);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, Callbacks::BeginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, Callbacks::Header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, Callbacks::DataChunk);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, Callbacks::FrameReceived);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, Callbacks::StreamClosed);
    nghttp2_session_callbacks_set_send_data_callback(callbacks, Callbacks::SendData);
    nghttp2_option_set_max_continuations(option, limits_.maxContinuations);
    nghttp2_option_set_stream_reset_rate_limit(option, limits_.resetBurst, limits_.resetsPerSecond);
    nghttp2_option_set_max_outbound_ack(option, 1000);
    nghttp2_option_set_max_settings(option, 32);
    // Windows are given back as bodies are consumed (DataChunk, consumed()).
    nghttp2_option_set_no_auto_window_update(option, 1);
    // A closed stream is kept only for the priorities of RFC 7540, which we
    // do not use: it would stay with an idle connection.
    nghttp2_option_set_no_closed_streams(option, 1);
    // Our answers' fields go into the HPACK table. Left out, they cost
    // about 5,000 instructions more per answer (Huffman-coded again each
    // time) and some 90 bytes, for about 1.8 KiB saved per idle connection.
    nghttp2_option_set_max_deflate_dynamic_table_size(option, kAnswerTableSize);
    nghttp2_mem memory{&memory_, KoHttp2Memory::Malloc, KoHttp2Memory::Free, KoHttp2Memory::Calloc,
                       KoHttp2Memory::Realloc};
    memory_.building(true);
    const int made = nghttp2_session_server_new3(&session_, callbacks, this, option, &memory);
    memory_.building(false);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_option_del(option);
    if (made != 0) throw KoException("no memory for an HTTP/2 session", __LINE__, "src");
    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, limits_.maxStreams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(limits_.maxHeaderList)},
        {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, 4096},
    };
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]);
}

KoHttp2ServerSession::~KoHttp2ServerSession() { nghttp2_session_del(session_); }

void KoHttp2ServerSession::Stream::forget() {
    request.stream = 0;
    request.method.clear();
    request.scheme.clear();
    request.authority.clear();
    request.path.clear();
    request.fields.clear();
    std::string().swap(request.body);
    headerBytes = 0;
    tooLarge = false;
    deferred = false;
    bodyEnded = false;
    lying = {};
    started = false;
    responded = false;
    body.reset();
    fields.clear();
}

void KoHttp2ServerSession::closeStream(std::int32_t id) {
    std::unique_ptr<Stream> stream = streams_.take(id);
    if (!stream) return;
    if (headerStream_ == stream.get()) headerStream_ = nullptr;
    bodyBytes_ -= stream->request.body.size();
    streams_.keep(std::move(stream), [](Stream& closed) { closed.forget(); });
}

void KoHttp2ServerSession::fail(std::uint32_t code, const std::string& why) {
    if (failed_) return;
    failed_ = true;
    failure_ = why;
    nghttp2_session_terminate_session(session_, code);
}

bool KoHttp2ServerSession::countFrame(std::uint32_t& counter, std::uint32_t limit, const char* what) {
    if (now_ - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now_;
        controlFrames_ = 0;
        emptyFrames_ = 0;
    }
    if (++counter <= limit) return true;
    fail(NGHTTP2_ENHANCE_YOUR_CALM, std::string("a flood of ") + what);
    return false;
}

bool KoHttp2ServerSession::takeResetToken() {
    // A token bucket: a burst of resets, then so many a second.
    const double elapsed = std::chrono::duration<double>(now_ - resetRefilled_).count();
    resetRefilled_ = now_;
    if (elapsed > 0) {
        resetTokens_ = std::min(static_cast<double>(limits_.resetBurst),
                                resetTokens_ + elapsed * static_cast<double>(limits_.resetsPerSecond));
    }
    if (resetTokens_ >= 1) {
        resetTokens_ -= 1;
        return true;
    }
    fail(NGHTTP2_ENHANCE_YOUR_CALM, "a flood of stream resets");
    return false;
}

bool KoHttp2ServerSession::receive(std::string_view bytes, Clock::time_point now) {
    now_ = now;
    if (failed_) return false;
    const ssize_t used =
        nghttp2_session_mem_recv(session_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    if (used < 0) {
        // A fatal error leaves nghttp2 sending nothing more on its own: the
        // peer is still told why the connection ends.
        const std::string why = nghttp2_strerror(static_cast<int>(used));
        fail(used == NGHTTP2_ERR_FLOODED || used == NGHTTP2_ERR_TOO_MANY_CONTINUATIONS ? NGHTTP2_ENHANCE_YOUR_CALM
                                                                                     : NGHTTP2_PROTOCOL_ERROR,
             why);
        return false;
    }
    // nghttp2 ends the session itself for some misdeeds (a reset flood, too
    // many CONTINUATION frames): it then wants to read no more.
    if (!failed_ && !nghttp2_session_want_read(session_) && nghttp2_session_want_write(session_)) {
        failed_ = true;
        failure_ = "the peer broke the protocol";
    }
    return !failed_;
}

void KoHttp2ServerSession::produce(std::string& out, std::size_t limit) {
    // nghttp2 gives one frame at a time: they go straight into out, which
    // is grown once, to what the last turn made, rather than frame by frame.
    // A DATA frame of bytes that lie in memory is written straight into out
    // too (SendData), not copied into nghttp2's buffer first.
    const std::size_t start = out.size();
    out.reserve(start + std::min(limit, lastProduced_));
    output_ = &out;
    outputStart_ = start;
    outputLimit_ = limit;
    while (out.size() - start < limit) {
        const uint8_t* data = nullptr;
        const ssize_t length = nghttp2_session_mem_send(session_, &data);
        if (length <= 0) break;
        out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    output_ = nullptr;
    lastProduced_ = out.size() - start;
}

void KoHttp2ServerSession::rest() {
    // Blocks and entries kept for streams to come are for a busy connection
    // only: one that rests gives them back (a busy one, whose streams come
    // and go each turn, keeps them from one turn to the next).
    if (streams_.empty()) {
        memory_.release();
        streams_.releaseSpares();
    }
    // A frame being sent still lies in the frame buffer.
    if (nghttp2_session_want_write(session_) != 0) return;
    memory_.rest();
}

bool KoHttp2ServerSession::wantsWrite() const { return nghttp2_session_want_write(session_) != 0; }

bool KoHttp2ServerSession::finished() const {
    return !nghttp2_session_want_read(session_) && !nghttp2_session_want_write(session_);
}

bool KoHttp2ServerSession::respond(std::int32_t stream, int status, KoHttp2Fields fields,
                                   std::unique_ptr<KoHttp2Body> body) {
    Stream* found = find(stream);
    if (found == nullptr) return false;
    Stream& entry = *found;
    // One answer a stream: a second would take the fields the first's
    // HEADERS frame points into.
    if (entry.responded) return false;
    entry.responded = true;
    entry.fields = std::move(fields);
    const auto end = std::to_chars(entry.status.data(), entry.status.data() + entry.status.size(), status).ptr;
    const std::string_view statusText(entry.status.data(), static_cast<std::size_t>(end - entry.status.data()));
    static constexpr std::string_view statusName = ":status";
    // nghttp2 copies the list (not the bytes it points to): an answer's
    // dozen fields are listed on the stack, a long list in a vector.
    constexpr std::size_t onStack = 32;
    std::array<nghttp2_nv, onStack> listed;
    std::vector<nghttp2_nv> longList;
    const bool fits = entry.fields.size() < onStack;
    if (!fits) longList.resize(entry.fields.size() + 1);
    nghttp2_nv* const nva = fits ? listed.data() : longList.data();
    std::size_t count = 0;
    nva[count++] = Pair(statusName, statusText);
    for (std::size_t i = 0; i < entry.fields.size(); ++i) {
        const auto [name, value] = entry.fields[i];
        if (!ConnectionSpecific(name)) nva[count++] = Pair(name, value);
    }
    entry.body = std::move(body);
    nghttp2_data_provider provider{};
    provider.read_callback = Callbacks::ReadBody;
    const bool hasBody = entry.body != nullptr;
    return nghttp2_submit_response(session_, stream, nva, count, hasBody ? &provider : nullptr) == 0;
}

KoHttp2Fields KoHttp2ServerSession::fieldRoom(std::int32_t stream) {
    Stream* found = find(stream);
    if (found == nullptr) return {};
    KoHttp2Fields room = std::move(found->fields);
    room.clear();
    return room;
}

void KoHttp2ServerSession::resume(std::int32_t stream) {
    Stream* found = find(stream);
    if (found == nullptr || !found->deferred) return;
    found->deferred = false;
    nghttp2_session_resume_data(session_, stream);
}

void KoHttp2ServerSession::consumed(std::int32_t stream, std::size_t bytes) {
    if (bytes != 0) nghttp2_session_consume_stream(session_, stream, bytes);
}

bool KoHttp2ServerSession::stalledByPeer() const {
    const bool connectionShut = nghttp2_session_get_remote_window_size(session_) <= 0;
    for (const auto& [id, entry] : streams_) {
        const Stream& stream = *entry;
        if (!stream.body || stream.deferred || stream.bodyEnded) continue;
        if (connectionShut || nghttp2_session_get_stream_remote_window_size(session_, id) <= 0) return true;
    }
    return false;
}

void KoHttp2ServerSession::shutdown() {
    nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(session_),
                          NGHTTP2_NO_ERROR, nullptr, 0);
}

void KoHttp2ServerSession::terminate(const std::string& why) { fail(NGHTTP2_ENHANCE_YOUR_CALM, why); }
