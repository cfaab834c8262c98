#include "websocket/permessage_deflate.h"

#include <zlib.h>

#include <vector>

#include "foundation/exception.h"
#include "foundation/text_utils.h"

namespace {

std::vector<std::string_view> SplitOn(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    while (true) {
        const std::size_t at = text.find(separator);
        pieces.push_back(trimBlanks(text.substr(0, at)));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

// 8 is offered by some clients, but zlib's raw deflate cannot keep to it.
std::optional<int> WindowBits(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.empty() || value.size() > 2) return std::nullopt;
    int bits = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        bits = bits * 10 + (c - '0');
    }
    if (bits < 8 || bits > 15) return std::nullopt;
    return bits;
}

std::optional<KoDeflateParameters> ReadOffer(const std::vector<std::string_view>& parts) {
    KoDeflateParameters chosen;
    bool seen[4] = {};
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t equals = parts[i].find('=');
        const std::string_view name = trimBlanks(parts[i].substr(0, equals));
        const bool hasValue = equals != std::string_view::npos;
        const std::string_view value = hasValue ? trimBlanks(parts[i].substr(equals + 1)) : std::string_view{};
        int which = -1;
        if (name == "server_no_context_takeover" && !hasValue) {
            which = 0;
            chosen.serverNoContextTakeover = true;
        } else if (name == "client_no_context_takeover" && !hasValue) {
            which = 1;
            chosen.clientNoContextTakeover = true;
        } else if (name == "server_max_window_bits" && hasValue) {
            const auto bits = WindowBits(value);
            if (!bits || *bits == 8) return std::nullopt;
            which = 2;
            chosen.serverMaxWindowBits = *bits;
        } else if (name == "client_max_window_bits") {
            which = 3;
            chosen.clientWindowAnnounced = true;
            if (hasValue) {
                const auto bits = WindowBits(value);
                if (!bits) return std::nullopt;
                chosen.clientMaxWindowBits = *bits;
            }
        }
        // An unknown or repeated parameter makes the offer unacceptable.
        if (which < 0 || seen[which]) return std::nullopt;
        seen[which] = true;
    }
    return chosen;
}

}  // namespace

std::string KoDeflateParameters::responseValue() const {
    std::string value = "permessage-deflate";
    if (serverNoContextTakeover) value += "; server_no_context_takeover";
    if (clientNoContextTakeover) value += "; client_no_context_takeover";
    if (serverMaxWindowBits != 15) value += "; server_max_window_bits=" + std::to_string(serverMaxWindowBits);
    if (clientWindowAnnounced && clientMaxWindowBits != 15) {
        value += "; client_max_window_bits=" + std::to_string(clientMaxWindowBits);
    }
    return value;
}

std::optional<KoDeflateParameters> choosePerMessageDeflate(std::string_view extensions) {
    for (const std::string_view offer : SplitOn(extensions, ',')) {
        const auto parts = SplitOn(offer, ';');
        if (parts.front() != "permessage-deflate") continue;
        if (auto chosen = ReadOffer(parts)) return chosen;
    }
    return std::nullopt;
}

struct KoDeflater::Stream {
    z_stream z{};
};

KoDeflater::KoDeflater(int windowBits, bool noContextTakeover)
    : stream_(std::make_unique<Stream>()), reset_(noContextTakeover) {
    if (deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw KoException("no memory for a deflate stream", __LINE__, "src");
    }
}

KoDeflater::~KoDeflater() { deflateEnd(&stream_->z); }

std::string KoDeflater::compress(std::string_view message) {
    z_stream& z = stream_->z;
    std::string out;
    out.resize(deflateBound(&z, static_cast<uLong>(message.size())) + 16);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
    z.avail_in = static_cast<uInt>(message.size());
    std::size_t produced = 0;
    do {
        if (produced == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        z.avail_out = static_cast<uInt>(out.size() - produced);
        deflate(&z, Z_SYNC_FLUSH);
        produced = out.size() - z.avail_out;
    } while (z.avail_out == 0);
    out.resize(produced);
    // The sync flush ends in 00 00 FF FF, which the wire leaves off.
    if (out.size() >= 4 && out.compare(out.size() - 4, 4, std::string("\0\0\xff\xff", 4)) == 0) out.resize(out.size() - 4);
    if (reset_) deflateReset(&z);
    return out;
}

struct KoInflater::Stream {
    z_stream z{};
};

KoInflater::KoInflater(int windowBits, bool noContextTakeover)
    : stream_(std::make_unique<Stream>()), reset_(noContextTakeover) {
    // The largest window decodes data made with any smaller one.
    (void)windowBits;
    if (inflateInit2(&stream_->z, -15) != Z_OK) throw KoException("no memory for an inflate stream", __LINE__, "src");
}

KoInflater::~KoInflater() { inflateEnd(&stream_->z); }

KoInflater::Outcome KoInflater::decompress(std::string_view wire, std::size_t limit, std::string& out) {
    static const char tail[4] = {0, 0, '\xff', '\xff'};
    z_stream& z = stream_->z;
    out.clear();
    char buffer[16 * 1024];
    Outcome outcome = Outcome::done;
    for (int piece = 0; piece < 2 && outcome == Outcome::done; ++piece) {
        const std::string_view input = piece == 0 ? wire : std::string_view(tail, 4);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        z.avail_in = static_cast<uInt>(input.size());
        while (z.avail_in > 0 || piece == 1) {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            const int status = inflate(&z, Z_SYNC_FLUSH);
            const std::size_t got = sizeof buffer - z.avail_out;
            if (status != Z_OK && status != Z_BUF_ERROR && status != Z_STREAM_END) {
                outcome = Outcome::corrupt;
                break;
            }
            if (out.size() + got > limit) {
                outcome = Outcome::tooLarge;
                break;
            }
            out.append(buffer, got);
            if (status == Z_STREAM_END) {
                inflateReset(&z);  // a final block ends the stream; a next message starts a new one
                break;
            }
            if (z.avail_in == 0 && z.avail_out != 0) break;
            if (status == Z_BUF_ERROR && got == 0) break;
        }
    }
    if (reset_ || outcome != Outcome::done) inflateReset(&z);
    return outcome;
}
