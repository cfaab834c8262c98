#include "compress/compressor.h"

#include <brotli/encode.h>
#include <zlib.h>

#include "foundation/exception.h"

namespace {

class GzipCompressor final : public KoCompressor {
public:
    explicit GzipCompressor(int level) {
        // 15 + 16: a gzip wrapper around the deflate stream.
        if (deflateInit2(&z_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw KoException("no memory for a gzip stream", __LINE__, "src");
        }
    }
    ~GzipCompressor() override { deflateEnd(&z_); }

    void write(std::string_view bytes, std::string& out) override { run(bytes, Z_NO_FLUSH, out); }
    void flush(std::string& out) override { run({}, Z_SYNC_FLUSH, out); }
    void finish(std::string& out) override { run({}, Z_FINISH, out); }

private:
    void run(std::string_view bytes, int mode, std::string& out) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z_.avail_in = static_cast<uInt>(bytes.size());
        char buffer[16 * 1024];
        int status = Z_OK;
        do {
            z_.next_out = reinterpret_cast<Bytef*>(buffer);
            z_.avail_out = sizeof buffer;
            status = deflate(&z_, mode);
            out.append(buffer, sizeof buffer - z_.avail_out);
        } while (z_.avail_out == 0 || (mode == Z_FINISH && status == Z_OK));
    }

    z_stream z_{};
};

class BrotliCompressor final : public KoCompressor {
public:
    explicit BrotliCompressor(int level) : state_(BrotliEncoderCreateInstance(nullptr, nullptr, nullptr)) {
        if (state_ == nullptr) throw KoException("no memory for a brotli stream", __LINE__, "src");
        // 1-9 onto brotli's 0-11; 5 or so is its sweet spot for speed.
        const int quality = level <= 1 ? 1 : level >= 9 ? 11 : level - 1;
        BrotliEncoderSetParameter(state_, BROTLI_PARAM_QUALITY, static_cast<std::uint32_t>(quality));
    }
    ~BrotliCompressor() override { BrotliEncoderDestroyInstance(state_); }

    void write(std::string_view bytes, std::string& out) override { run(bytes, BROTLI_OPERATION_PROCESS, out); }
    void flush(std::string& out) override { run({}, BROTLI_OPERATION_FLUSH, out); }
    void finish(std::string& out) override { run({}, BROTLI_OPERATION_FINISH, out); }

private:
    void run(std::string_view bytes, BrotliEncoderOperation operation, std::string& out) {
        std::size_t availableIn = bytes.size();
        const auto* nextIn = reinterpret_cast<const std::uint8_t*>(bytes.data());
        while (true) {
            std::size_t availableOut = 0;
            BrotliEncoderCompressStream(state_, operation, &availableIn, &nextIn, &availableOut, nullptr, nullptr);
            std::size_t size = 0;
            const std::uint8_t* produced = BrotliEncoderTakeOutput(state_, &size);
            if (size != 0) out.append(reinterpret_cast<const char*>(produced), size);
            if (availableIn != 0 || BrotliEncoderHasMoreOutput(state_)) continue;
            if (operation == BROTLI_OPERATION_FINISH && !BrotliEncoderIsFinished(state_)) continue;
            return;
        }
    }

    BrotliEncoderState* state_;
};

}  // namespace

std::unique_ptr<KoCompressor> KoCompressor::make(KoContentCoding coding, int level) {
    if (coding == KoContentCoding::brotli) return std::make_unique<BrotliCompressor>(level);
    return std::make_unique<GzipCompressor>(level);
}

std::string KoCompress(KoContentCoding coding, std::string_view body, int level) {
    const auto compressor = KoCompressor::make(coding, level);
    std::string out;
    compressor->write(body, out);
    compressor->finish(out);
    return out;
}
