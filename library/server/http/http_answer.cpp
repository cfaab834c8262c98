#include "server/http/http_answer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <cstdio>
#include <cstring>

#include "foundation/text_utils.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "platform/thread_slot.h"
#include "server/http/http_date.h"

namespace {

bool HasLineBreak(std::string_view value) {
    // Two memchr scans: a byte-by-byte test cost more than the rest of the line.
    return value.find('\r') != std::string_view::npos || value.find('\n') != std::string_view::npos;
}

// Appends value without its line breaks, so it cannot start a line of its own.
void AppendOneLine(std::string& out, std::string_view value) {
    if (!HasLineBreak(value)) {
        out += value;
        return;
    }
    for (char c : value) {
        if (c != '\r' && c != '\n') out += c;
    }
}

char* CopyInto(char* to, std::string_view bytes) {
    std::memcpy(to, bytes.data(), bytes.size());
    return to + bytes.size();
}

void AppendLine(std::string& out, std::string_view name, std::string_view value) {
    if (!HasLineBreak(value)) {
        // The whole line in one growth of the string, not four appends.
        const std::size_t at = out.size();
        out.resize(at + name.size() + value.size() + 4);
        char* to = CopyInto(out.data() + at, name);
        to = CopyInto(to, ": ");
        to = CopyInto(to, value);
        CopyInto(to, "\r\n");
        return;
    }
    out += name;
    out += ": ";
    AppendOneLine(out, value);
    out += "\r\n";
}

template <typename Number>
void AppendNumber(std::string& out, Number value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// "Server: " of the server's own answers.
const std::string kProductToken = std::string(kProductName) + std::string(kProductVersion);

// With server empty, no Server line; by default the product token.
void AppendStatusLine(std::string& out, std::int32_t status, std::string_view server = {}, bool product = true) {
    out += "HTTP/1.1 ";
    AppendNumber(out, status);
    out += ' ';
    out += ReasonPhrase(status);
    out += "\r\n";
    if (product) {
        out += "Server: ";
        out += kProductName;
        out += kProductVersion;
        out += "\r\n";
    } else if (!server.empty()) {
        AppendLine(out, "Server", server);
    }
}

// Fields of a response written into its head, in this order.
struct AnswerField {
    std::string_view key;
    std::string_view name;
};
constexpr AnswerField kAnswerFields[] = {
    {"content-type", "Content-Type"},   {"content-range", "Content-Range"}, {"accept-ranges", "Accept-Ranges"},
    {"last-modified", "Last-Modified"}, {"etag", "ETag"},                   {"cache-control", "Cache-Control"},
    {"content-encoding", "Content-Encoding"},
    {"vary", "Vary"},
    {"allow", "Allow"},
    {"www-authenticate", "WWW-Authenticate"},
    {"retry-after", "Retry-After"},
    {"x-content-type-options", "X-Content-Type-Options"},
    {"strict-transport-security", "Strict-Transport-Security"},
    {"x-frame-options", "X-Frame-Options"},
    {"content-security-policy", "Content-Security-Policy"},
    {"referrer-policy", "Referrer-Policy"},
};

// Whether a script's own header lines name the field.
bool ScriptLinesName(const std::vector<std::string>& lines, std::string_view name) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() > name.size() && line[name.size()] == ':' &&
               sameLetters(std::string_view(line).substr(0, name.size()), name);
    });
}

// The fields a head is made of, each found once: the answer fields by
// their place in kAnswerFields, then Server and the script's lines.
constexpr std::size_t kAnswerFieldCount = std::size(kAnswerFields);
constexpr std::size_t kServerSlot = kAnswerFieldCount;
constexpr std::size_t kCgiSlot = kAnswerFieldCount + 1;
constexpr std::size_t kSlotCount = kAnswerFieldCount + 2;

struct KeySlot {
    std::string_view key;
    std::size_t slot;
};

// The keys in the field map's order, so that one walk along both finds them all.
const std::array<KeySlot, kSlotCount>& KeysInOrder() {
    static const std::array<KeySlot, kSlotCount> keys = [] {
        std::array<KeySlot, kSlotCount> made{};
        for (std::size_t i = 0; i < kAnswerFieldCount; ++i) made[i] = {kAnswerFields[i].key, i};
        made[kServerSlot] = {"server", kServerSlot};
        made[kCgiSlot] = {kCgiLinesField, kCgiSlot};
        std::sort(made.begin(), made.end(), [](const KeySlot& a, const KeySlot& b) { return a.key < b.key; });
        return made;
    }();
    return keys;
}

// a.compare(b) as the field map orders its keys; most keys differ in their
// first byte, which then decides without a call.
int KeyOrder(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a.front() != b.front()) {
        return static_cast<unsigned char>(a.front()) < static_cast<unsigned char>(b.front()) ? -1 : 1;
    }
    return a.compare(b);
}

// The slot of a key, or kSlotCount for a field no head writes.
std::size_t SlotOf(std::string_view key) {
    const auto& keys = KeysInOrder();
    const auto at = std::lower_bound(keys.begin(), keys.end(), key, [](const KeySlot& entry, std::string_view wanted) {
        return KeyOrder(entry.key, wanted) < 0;
    });
    return at != keys.end() && at->key == key ? at->slot : kSlotCount;
}

using DefaultFields = KoXResponseHeader::DefaultFields;

// What a list of default fields gives each slot (the first default of a
// name decides), and the head lines of the answer fields among them, in
// head order: found once per list and thread, as a site's list or a file
// version's serves answer after answer.
struct DefaultSlots {
    // Kept alive while here, so its address names no other list.
    std::shared_ptr<const DefaultFields> list;
    std::array<const std::string*, kSlotCount> byDefault{};
    std::string lines;
};

const DefaultSlots& DefaultSlotsOf(const std::shared_ptr<const DefaultFields>& list) {
    constexpr std::size_t kKept = 8;
    struct Kept {
        std::array<DefaultSlots, kKept> slots;
    };
    DefaultSlots& slots = platform::perThread<Kept>().slots[std::hash<const void*>{}(list.get()) % kKept];
    if (slots.list == list) return slots;
    slots.list = list;
    slots.byDefault.fill(nullptr);
    slots.lines.clear();
    for (const auto& [name, value] : *list) {
        const std::size_t slot = SlotOf(name);
        if (slot == kSlotCount || slot == kCgiSlot || slots.byDefault[slot] != nullptr) continue;
        slots.byDefault[slot] = &value;
    }
    for (std::size_t i = 0; i < kAnswerFieldCount; ++i) {
        if (const std::string* value = slots.byDefault[i]) AppendLine(slots.lines, kAnswerFields[i].name, *value);
    }
    return slots;
}

// What the answer says of each slot: its values when its fields name it,
// else the default value (unless the script names the field).
struct HeadFields {
    std::array<const std::vector<std::string>*, kSlotCount> named{};
    std::array<const std::string*, kSlotCount> byDefault{};
    // The defaults' lines, when the answer's fields name none of its slots.
    const std::string* defaultLines = nullptr;

    explicit HeadFields(const KoXResponseHeader& response) {
        const auto& keys = KeysInOrder();
        auto key = keys.begin();
        bool anyNamed = false;
        for (auto field = response.fields.begin(); field != response.fields.end() && key != keys.end();) {
            const int order = KeyOrder(field->first, key->key);
            if (order < 0) {
                ++field;
            } else if (order > 0) {
                ++key;
            } else {
                named[key->slot] = &field->second;
                anyNamed = true;
                ++field;
                ++key;
            }
        }
        if (!response.defaultFields) return;
        const std::vector<std::string>* scriptLines = named[kCgiSlot];
        if (scriptLines == nullptr) {
            // The fields' own values are looked at first, where they are.
            const DefaultSlots& slots = DefaultSlotsOf(response.defaultFields);
            byDefault = slots.byDefault;
            if (!anyNamed) defaultLines = &slots.lines;
            return;
        }
        std::array<bool, kSlotCount> decided{};
        for (const auto& [name, value] : *response.defaultFields) {
            const std::size_t slot = SlotOf(name);
            // The first default of a name decides; the fields' own value wins.
            if (slot == kSlotCount || slot == kCgiSlot || decided[slot] || named[slot] != nullptr) continue;
            decided[slot] = true;
            // The script's own Server line is looked at apart.
            if (slot != kServerSlot && ScriptLinesName(*scriptLines, name)) continue;
            byDefault[slot] = &value;
        }
    }
};

// A 1xx, 204 or 304 answer has no body to announce.
bool NoContentLength(std::int32_t status) { return status < 200 || status == 204 || status == 304; }

// Whether a script's header line is of the field name (lower case, with
// its colon): a script that writes its own Date or Server keeps it.
bool NamesField(const std::string& line, std::string_view name) {
    if (line.size() < name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    return true;
}

// What a client sent, as a log field it can neither close nor leave.
// Bytes a log field keeps as they are, by value: one load per byte.
constexpr std::array<bool, 256> kPlainForLog = [] {
    std::array<bool, 256> plain{};
    for (int byte = 0x20; byte <= 0x7E; ++byte) plain[static_cast<std::size_t>(byte)] = byte != '"' && byte != '\\';
    return plain;
}();

void AppendForLog(std::string& out, std::string_view value) {
    const auto plain = [](char c) { return kPlainForLog[static_cast<unsigned char>(c)]; };
    if (std::all_of(value.begin(), value.end(), plain)) {
        out += value;
    } else {
        out += escapeForLog(value);
    }
}

}  // namespace

bool KoAnswersHttp10(const KoXResponseHeader& response) {
    static const std::string kFirstLine = ":first:";
    auto first = response.requestFields.find(kFirstLine);
    return first != response.requestFields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
}

void KoWalkAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                      std::string_view date, KoAnswerHeadWriter& out) {
    const HeadFields found(response);
    const std::vector<std::string>* cgi = found.named[kCgiSlot];
    const auto scriptNames = [&](std::string_view name) {
        return cgi != nullptr &&
               std::any_of(cgi->begin(), cgi->end(), [name](const std::string& line) { return NamesField(line, name); });
    };
    out.status(response.statusCode);
    // One Server line at most: the script's own, else the one chosen for
    // the site (an empty value: none), else the product token.
    const std::vector<std::string>* chosen = found.named[kServerSlot];
    const std::string* siteServer = found.byDefault[kServerSlot];
    if (scriptNames("server:")) {
        // Among the script's lines.
    } else if (chosen != nullptr) {
        if (!chosen->empty() && !chosen->front().empty()) out.field("Server", chosen->front());
    } else if (siteServer != nullptr) {
        if (!siteServer->empty()) out.field("Server", *siteServer);
    } else {
        out.field("Server", kProductToken);
    }
    const bool scriptDated = scriptNames("date:");
    if (!scriptDated) out.field("Date", date);
    // A script that wrote no body for HEAD (php-cgi writes none) tells
    // nothing of its GET's length: the head then names no length at all.
    const bool scriptHead = response.answersHead && cgi != nullptr && !response.lengthUnknown && bodyLength == 0;
    if (NoContentLength(response.statusCode) || scriptHead) {
        // Neither length nor framing.
    } else if (!response.lengthUnknown) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, bodyLength).ptr;
        out.field("Content-Length", std::string_view(digits, static_cast<std::size_t>(end - digits)));
    } else if (!KoAnswersHttp10(response)) {
        // An HTTP/1.0 client reads such a body until the connection ends.
        out.field("Transfer-Encoding", "chunked");
    }
    // A writer of text takes the defaults' lines as they were written once.
    const bool asLines = found.defaultLines != nullptr && out.lines(*found.defaultLines);
    for (std::size_t i = 0; i < kAnswerFieldCount && !asLines; ++i) {
        if (const std::vector<std::string>* values = found.named[i]) {
            if (!values->empty()) out.field(kAnswerFields[i].name, values->front());
        } else if (const std::string* value = found.byDefault[i]) {
            out.field(kAnswerFields[i].name, *value);
        }
    }
    if (!response.location.empty()) out.field("Location", response.location);
    if (cgi != nullptr) {
        for (const std::string& line : *cgi) out.scriptLine(line);
    }
    if (closing) {
        out.field("Connection", "close");
    } else if (KoAnswersHttp10(response)) {
        out.field("Connection", "keep-alive");
    }
}

std::string KoAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                         std::string_view date) {
    // The head as text: the status line, then a line for each field.
    class Text final : public KoAnswerHeadWriter {
    public:
        Text() : head(spare_buffers::takeString()) { head.reserve(512); }
        void status(std::int32_t code) override {
            // Answer after answer has the same status: its line is made once.
            struct LastStatus {
                std::int32_t code = -1;
                std::string line;
            };
            LastStatus& last = platform::perThread<LastStatus>();
            if (code != last.code) {
                last.line = "HTTP/1.1 ";
                AppendNumber(last.line, code);
                last.line += ' ';
                last.line += ReasonPhrase(code);
                last.line += "\r\n";
                last.code = code;
            }
            head += last.line;
        }
        void field(std::string_view name, std::string_view value) override { AppendLine(head, name, value); }
        bool lines(std::string_view run) override {
            head += run;
            return true;
        }
        void scriptLine(std::string_view line) override {
            AppendOneLine(head, line);
            head += "\r\n";
        }
        std::string head;
    } text;
    KoWalkAnswerHead(response, bodyLength, closing, date, text);
    text.head += "\r\n";
    return std::move(text.head);
}

const std::string* KoAnswerFieldValue(const KoXResponseHeader& response, std::string_view name) {
    if (const auto field = response.fields.find(name); field != response.fields.end()) {
        return field->second.empty() ? nullptr : &field->second.front();
    }
    if (!response.defaultFields) return nullptr;
    for (const auto& [key, value] : *response.defaultFields) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::string KoStatusText(std::int32_t status) { return std::to_string(status) + " " + ReasonPhrase(status) + "\n"; }

void KoSetTextBody(KoXResponseHeader& response) {
    const std::string text = KoStatusText(response.statusCode);
    response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    response.fields["content-type"] = {kPlainTextType};
}

std::string KoPlainAnswer(std::int32_t status, bool closing, std::string_view date) {
    const std::string body = KoStatusText(status);
    std::string head;
    AppendStatusLine(head, status);
    AppendLine(head, "Date", date);
    head += "Content-Length: ";
    AppendNumber(head, body.size());
    head += "\r\n";
    AppendLine(head, "Content-Type", kPlainTextType);
    if (closing) head += "Connection: close\r\n";
    return head + "\r\n" + body;
}

const std::string& KoLogTime(std::int64_t ticks) {
    using namespace std::chrono;
    const std::int64_t second = ticks / 10'000'000;
    // Answers of one second share their text.
    struct LastTime {
        std::int64_t second = -1;
        std::string text;
    };
    LastTime& last = platform::perThread<LastTime>();
    if (second == last.second) return last.text;
    const sys_seconds when{seconds{second}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{when - day};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%02u/%s/%04d:%02d:%02d:%02d +0000", static_cast<unsigned>(date.day()),
                  kMonths[(static_cast<unsigned>(date.month()) + 11) % 12], static_cast<int>(date.year()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    last.second = second;
    last.text = text;
    return last.text;
}

void KoAppendAccessLogLine(std::string& out, const KoAccessLogEntry& entry) {
    char status[16];
    const char* statusEnd = std::to_chars(status, status + sizeof status, entry.status).ptr;
    char bytes[24];
    const char* bytesEnd = std::to_chars(bytes, bytes + sizeof bytes, entry.bytes).ptr;
    struct Piece {
        std::string_view text;
        bool fromClient;  // escaped unless plain
    };
    const Piece pieces[] = {
        {entry.remoteAddress, true}, {" - ", false},   {entry.protocolName, false},
        {" - [", false},             {entry.time, false}, {"] \"", false},
        {entry.requestLine, true},   {"\" --> ", false},
        {std::string_view(status, static_cast<std::size_t>(statusEnd - status)), false},
        {" ", false},
        {std::string_view(bytes, static_cast<std::size_t>(bytesEnd - bytes)), false},
        {" \"", false},              {entry.referer, true}, {"\" \"", false},
        {entry.userAgent, true},     {"\"", false},
    };
    std::size_t size = 0;
    for (const Piece& piece : pieces) size += piece.text.size();
    // Copied in one growth, the client's pieces byte by byte while they
    // need no escape; written again with escapes when one does.
    const std::size_t at = out.size();
    out.resize(at + size);
    char* to = out.data() + at;
    bool allPlain = true;
    for (const Piece& piece : pieces) {
        if (!piece.fromClient) {
            to = CopyInto(to, piece.text);
            continue;
        }
        for (char c : piece.text) {
            if (!kPlainForLog[static_cast<unsigned char>(c)]) {
                allPlain = false;
                break;
            }
            *to++ = c;
        }
        if (!allPlain) break;
    }
    if (allPlain) return;
    out.resize(at);
    for (const Piece& piece : pieces) {
        if (piece.fromClient) {
            AppendForLog(out, piece.text);
        } else {
            out += piece.text;
        }
    }
}

std::string KoAccessLogLine(const KoAccessLogEntry& entry) {
    std::string line = spare_buffers::takeString();
    KoAppendAccessLogLine(line, entry);
    return line;
}
