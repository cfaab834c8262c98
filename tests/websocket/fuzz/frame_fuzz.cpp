// libFuzzer harness over the WebSocket frame reader. The first byte chooses
// a cut and whether permessage-deflate is on; the rest is what a client
// sends. Every stream must read to the same events whole and cut in two, and
// nothing may crash, leak or hold more than the message limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "websocket/frame_reader.h"

namespace {

constexpr std::size_t limit = 64 * 1024;

std::string Events(std::string_view first, std::string_view second, bool deflate) {
    KoInflater inflater(15, false);
    KoWebSocketReader reader(limit, deflate ? &inflater : nullptr);
    std::string out;
    for (std::string_view piece : {first, second}) {
        while (true) {
            const auto event = reader.next(piece);
            if (event == KoWebSocketReader::Event::needMore) break;
            out += std::to_string(static_cast<int>(event));
            const std::string payload = reader.takePayload();
            if (payload.size() > limit) std::abort();
            out += ':' + payload + ';';
            if (event == KoWebSocketReader::Event::close || event == KoWebSocketReader::Event::failed) {
                out += std::to_string(reader.closeCode()) + '/' + std::to_string(reader.failureCode());
                return out;
            }
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool deflate = (data[0] & 0x80) != 0;
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t cut = stream.empty() ? 0 : (data[0] & 0x7F) % (stream.size() + 1);
    if (Events(stream, {}, deflate) != Events(stream.substr(0, cut), stream.substr(cut), deflate)) std::abort();
    return 0;
}
