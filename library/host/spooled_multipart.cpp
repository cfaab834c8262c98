#include "host/spooled_multipart.h"

#include <cctype>
#include <fstream>
#include <string_view>

#include "message/message_body.h"

namespace {

// A part's header lines together may not pass this.
constexpr std::size_t kPartHeaderLimit = 16 * 1024;

// The body file, read into a window that only grows past what is kept.
class Window {
public:
    Window(const std::string& file, std::size_t step_) : in(file, std::ios::binary), step(step_) {}

    bool readable() const { return static_cast<bool>(in); }
    bool failed() const { return broken; }
    // Reads one more step; false at the end of the file.
    bool more() {
        if (done) return false;
        if (pos > step) {
            buffer.erase(0, pos);
            pos = 0;
        }
        const std::size_t had = buffer.size();
        buffer.resize(had + step);
        in.read(&buffer[had], static_cast<std::streamsize>(step));
        const auto got = static_cast<std::size_t>(in.gcount());
        buffer.resize(had + got);
        if (got < step) {
            done = true;
            broken = in.bad();
        }
        return got > 0;
    }
    // Whether n bytes are there from pos on.
    bool have(std::size_t n) {
        while (buffer.size() - pos < n) {
            if (!more()) return false;
        }
        return true;
    }
    // Where text begins, from pos on, reading ahead up to limit bytes.
    std::size_t find(std::string_view text, std::size_t limit) {
        for (;;) {
            const std::size_t at = std::string_view(buffer).find(text, pos);
            if (at != std::string_view::npos) return at;
            if (buffer.size() - pos > limit || !more()) return std::string_view::npos;
        }
    }
    std::string_view view(std::size_t from, std::size_t to) const {
        return std::string_view(buffer).substr(from, to - from);
    }

    std::string buffer;
    std::size_t pos = 0;

private:
    std::ifstream in;
    const std::size_t step;
    bool done = false;
    bool broken = false;
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void ReadHeaderLine(std::string_view line, KoSpooledPart& part) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string name = Lower(Trimmed(line.substr(0, colon)));
    const std::string_view value = Trimmed(line.substr(colon + 1));
    if (name == "content-type" && !value.empty()) part.contentType = std::string(value);
    if (name != "content-disposition") return;
    const KoMediaType disposition = KoReadMediaType(value);
    auto field = disposition.parameters.find("name");
    if (field != disposition.parameters.end()) part.name = field->second;
    auto file = disposition.parameters.find("filename");
    if (file != disposition.parameters.end()) {
        part.isFile = true;
        part.fileName = file->second;
    }
}

// Adds bytes to the part: a field's text within its bound, a file's to its
// temporary file. 0 or the status that ends the reading.
std::int32_t Take(KoSpooledPart& part, std::string_view bytes, const KoMessageLimits& limits) {
    if (bytes.empty()) return 0;
    if (!part.isFile) {
        if (part.text.size() + bytes.size() > limits.maxFormFieldSize) return 413;
        part.text += bytes;
        return 0;
    }
    return part.file->append(bytes).ok() ? 0 : 500;
}

}  // namespace

std::int32_t KoReadSpooledMultipart(const std::string& bodyFile, const std::string& boundary,
                                    const KoMessageLimits& limits, std::vector<KoSpooledPart>& parts,
                                    std::size_t step) {
    parts.clear();
    if (boundary.empty()) return 400;
    Window window(bodyFile, step == 0 ? 1 : step);
    if (!window.readable()) return 500;
    const std::string first = "--" + boundary;
    // Later delimiters start a line, so a file that holds the boundary text
    // elsewhere keeps it.
    const std::string next = "\r\n" + first;
    if (!window.have(first.size())) return window.failed() ? 500 : 400;
    if (window.view(window.pos, window.pos + first.size()) != first) {
        const std::size_t at = window.find(next, kPartHeaderLimit);
        if (at == std::string_view::npos) return window.failed() ? 500 : 400;
        window.pos = at + 2;
    }
    for (;;) {
        // window.pos is at a delimiter.
        window.pos += first.size();
        if (!window.have(2)) return 400;
        if (window.view(window.pos, window.pos + 2) == "--") return 0;
        const std::size_t lineEnd = window.find("\r\n", kPartHeaderLimit);
        if (lineEnd == std::string_view::npos) return 400;
        window.pos = lineEnd + 2;
        KoSpooledPart part;
        for (std::size_t headerBytes = 0;;) {
            const std::size_t end = window.find("\r\n", kPartHeaderLimit);
            if (end == std::string_view::npos) return 400;
            headerBytes += end - window.pos + 2;
            if (headerBytes > kPartHeaderLimit) return 400;
            const std::string_view line = window.view(window.pos, end);
            window.pos = end + 2;
            if (line.empty()) break;
            ReadHeaderLine(line, part);
        }
        if (parts.size() >= limits.maxFormFields) return 413;
        if (part.isFile) {
            auto created = platform::TemporaryFile::create("velko-upload-");
            if (!created.ok()) return 500;
            part.file = std::make_shared<platform::TemporaryFile>(std::move(created.value()));
        }
        for (;;) {
            const std::size_t at = std::string_view(window.buffer).find(next, window.pos);
            if (at != std::string_view::npos) {
                if (const std::int32_t status = Take(part, window.view(window.pos, at), limits); status != 0) {
                    return status;
                }
                window.pos = at + 2;
                break;
            }
            // All but what could begin a delimiter is the part's.
            if (window.buffer.size() - window.pos > next.size()) {
                const std::size_t safe = window.buffer.size() - next.size();
                if (const std::int32_t status = Take(part, window.view(window.pos, safe), limits); status != 0) {
                    return status;
                }
                window.pos = safe;
            }
            if (!window.more()) return window.failed() ? 500 : 400;
        }
        if (!part.name.empty()) parts.push_back(std::move(part));
    }
}
