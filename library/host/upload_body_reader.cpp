#include "host/upload_body_reader.h"

#include <utility>

#include "host/live_channels.h"

namespace {

// Cuts the pipe when the server stops, so a read that waits returns.
class CutsWithServer final : public KoLiveChannel {
public:
    explicit CutsWithServer(std::weak_ptr<KoRequestBodyPipe> pipe_) : pipe(std::move(pipe_)) {}
    void serverStops() override {
        if (auto held = pipe.lock()) held->end(false);
    }

private:
    std::weak_ptr<KoRequestBodyPipe> pipe;
};

}  // namespace

KoUploadBodyReader::KoUploadBodyReader(std::shared_ptr<KoRequestBodyPipe> pipe_,
                                       const std::shared_ptr<KoLiveChannels>& live)
    : pipe(std::move(pipe_)), whole(!pipe) {
    if (!pipe || !live) return;
    stops = std::make_shared<CutsWithServer>(pipe);
    live->add(stops);
    // Stopped already: add() told nobody.
    if (live->stopping()) pipe->end(false);
}

KoUploadBodyReader::~KoUploadBodyReader() {
    if (pipe) pipe->abandon();
}

bool KoUploadBodyReader::read(std::string& piece) {
    piece.clear();
    if (!pipe || over) return false;
    switch (pipe->take(piece, pieceSize)) {
    case KoRequestBodyPipe::Taken::bytes:
        bytes += piece.size();
        return true;
    case KoRequestBodyPipe::Taken::ended:
        whole = true;
        break;
    case KoRequestBodyPipe::Taken::cut:
        break;
    }
    over = true;
    return false;
}

long long KoUploadBodyReader::length() const { return pipe ? pipe->declared() : 0; }
