// Host interface: KoUploadBodyReader, the velko::BodyReader an upload
// route's handler reads its request's body through: the request's
// KoRequestBodyPipe, read on the handler's thread as the connection's loop
// fills it. The reader abandons the pipe when it goes (the handler
// returned), so that the loop reads the rest past instead of waiting; the
// pipe is also cut when the server stops, so a waiting read returns.
// A request without a body (no pipe) reads as an empty, complete one.
// May use: message and everything below.
//
// Threads: the handler's, but for the server's stop (KoLiveChannel).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "message/request_body_pipe.h"
#include "velkotwo/server.h"

class KoLiveChannel;
class KoLiveChannels;

class KoUploadBodyReader final : public velko::BodyReader {
public:
    KoUploadBodyReader(std::shared_ptr<KoRequestBodyPipe> pipe, const std::shared_ptr<KoLiveChannels>& live);
    ~KoUploadBodyReader();
    KoUploadBodyReader(const KoUploadBodyReader&) = delete;
    KoUploadBodyReader& operator=(const KoUploadBodyReader&) = delete;

    bool read(std::string& piece) override;
    bool complete() const override { return whole; }
    long long length() const override;
    unsigned long long bytesRead() const override { return bytes; }

    // Bytes handed to read at most.
    static constexpr std::size_t pieceSize = 64 * 1024;

private:
    const std::shared_ptr<KoRequestBodyPipe> pipe;
    std::shared_ptr<KoLiveChannel> stops;
    bool whole = false;
    bool over = false;
    unsigned long long bytes = 0;
};
