#include "net/socket_bio.h"

#include <climits>
#include <memory>
#include <string>

#include "platform/socket.h"

namespace tls_detail {
namespace {

SocketBioState* stateOf(BIO* bio) { return static_cast<SocketBioState*>(BIO_get_data(bio)); }

int clampLength(int length) { return length < 0 ? 0 : length; }

// One send, repeated while a signal interrupts it.
platform::IoResult sendOnce(int fd, const char* data, std::size_t length) {
    for (;;) {
        auto result = platform::sendSome(fd, data, length);
        if (!result.error.interrupted()) return result;
    }
}

int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    SocketBioState* state = stateOf(bio);
    if (state == nullptr || length <= 0) return 0;
    const auto count = static_cast<std::size_t>(clampLength(length));
    if (state->corked) {
        state->held.append(data, count);
        return length;
    }
    if (state->held.empty()) {
        const auto result = sendOnce(state->fd, data, count);
        if (result.error.ok()) return static_cast<int>(result.bytes);
        if (result.error.wouldBlock()) {
            BIO_set_retry_write(bio);
        } else {
            state->lastError = result.error.code();
        }
        return -1;
    }
    // Held bytes first, and these behind them in the same send; only what
    // went out of these counts as written.
    const std::size_t before = state->held.size();
    state->held.append(data, count);
    const auto result = sendOnce(state->fd, state->held.data(), state->held.size());
    const std::size_t sent = result.error.ok() ? result.bytes : 0;
    if (sent > before) {
        // Held once or twice per connection: its room goes with its bytes.
        std::string().swap(state->held);
        return static_cast<int>(sent - before);
    }
    state->held.resize(before);
    state->held.erase(0, sent);
    if (result.error.ok() || result.error.wouldBlock()) {
        BIO_set_retry_write(bio);
    } else {
        state->lastError = result.error.code();
    }
    return -1;
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    SocketBioState* state = stateOf(bio);
    if (state == nullptr || length <= 0) return 0;
    if (!state->mayRead) {
        BIO_set_retry_read(bio);
        return -1;
    }
    for (;;) {
        const auto wanted = static_cast<std::size_t>(clampLength(length));
        const auto result = platform::receiveSome(state->fd, data, wanted);
        if (result.error.ok()) {
            // Less than asked for: the socket had no more just now.
            if (result.bytes < wanted) state->mayRead = false;
            return static_cast<int>(result.bytes);  // 0: end of stream
        }
        if (result.error.interrupted()) continue;
        if (result.error.wouldBlock()) {
            state->mayRead = false;
            BIO_set_retry_read(bio);
        } else {
            state->lastError = result.error.code();
        }
        return -1;
    }
}

int bioPuts(BIO* bio, const char* text) {
    int length = 0;
    while (text[length] != '\0' && length < INT_MAX) ++length;
    return bioWrite(bio, text, length);
}

long bioCtrl(BIO*, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:  // writes go straight to the socket
    case BIO_CTRL_DUP:
        return 1;
    default:
        return 0;
    }
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO* bio) {
    if (bio == nullptr) return 0;
    BIO_set_data(bio, nullptr);
    return 1;
}

struct MethodFree {
    void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

// One method table for the process, made on first use.
BIO_METHOD* socketMethod() {
    static const std::unique_ptr<BIO_METHOD, MethodFree> method = [] {
        std::unique_ptr<BIO_METHOD, MethodFree> made(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velko socket"));
        if (made) {
            BIO_meth_set_write(made.get(), bioWrite);
            BIO_meth_set_read(made.get(), bioRead);
            BIO_meth_set_puts(made.get(), bioPuts);
            BIO_meth_set_ctrl(made.get(), bioCtrl);
            BIO_meth_set_create(made.get(), bioCreate);
            BIO_meth_set_destroy(made.get(), bioDestroy);
        }
        return made;
    }();
    return method.get();
}

}  // namespace

BIO* newSocketBio(SocketBioState* state) {
    BIO_METHOD* method = socketMethod();
    if (method == nullptr) return nullptr;
    BIO* bio = BIO_new(method);
    if (bio != nullptr) BIO_set_data(bio, state);
    return bio;
}

HeldFlush flushHeld(SocketBioState& state) {
    if (state.held.empty()) return HeldFlush::empty;
    const auto result = sendOnce(state.fd, state.held.data(), state.held.size());
    if (result.error.ok()) {
        state.held.erase(0, result.bytes);
        if (!state.held.empty()) return HeldFlush::wouldBlock;
        std::string().swap(state.held);
        return HeldFlush::empty;
    }
    if (result.error.wouldBlock()) return HeldFlush::wouldBlock;
    state.lastError = result.error.code();
    return HeldFlush::failed;
}

}  // namespace tls_detail
