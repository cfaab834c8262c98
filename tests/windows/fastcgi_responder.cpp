// A stand-in for php-cgi.exe in the PHP pool's Windows test: started as
// "velko_fastcgi_responder -b 127.0.0.1:PORT", it listens there and answers
// FastCGI requests one connection at a time, by their QUERY_STRING:
//   id           a number of its own, chosen when it starts
//   sleep=MS     "slept" after MS milliseconds
//   exit         ends the process in the middle of the request
//   (otherwise)  SCRIPT_FILENAME, REQUEST_METHOD and the request body
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "platform/poller.h"
#include "platform/socket.h"
#include "server/scripts/fastcgi_records.h"

namespace {

using Params = std::map<std::string, std::string>;

// Tells this process from the ones before and after it.
const std::string identity = std::to_string(std::random_device{}()) + "-" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());

std::size_t length(std::string_view& bytes) {
    if (bytes.empty()) return 0;
    const auto first = static_cast<unsigned char>(bytes[0]);
    if (first < 128 || bytes.size() < 4) {
        bytes.remove_prefix(1);
        return first;
    }
    std::size_t value = first & 0x7fu;
    for (int i = 1; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    bytes.remove_prefix(4);
    return value;
}

void readPairs(std::string_view bytes, Params& params) {
    while (!bytes.empty()) {
        const std::size_t nameLength = length(bytes);
        const std::size_t valueLength = length(bytes);
        if (nameLength + valueLength > bytes.size()) return;
        params[std::string(bytes.substr(0, nameLength))] = std::string(bytes.substr(nameLength, valueLength));
        bytes.remove_prefix(nameLength + valueLength);
    }
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        auto done = platform::sendSome(fd, bytes.data() + sent, bytes.size() - sent);
        if (done.error.wouldBlock()) {
            if (!platform::waitDescriptor(fd, platform::writable, 1000).ok()) return false;
            continue;
        }
        if (!done.error.ok()) return false;
        sent += done.bytes;
    }
    return true;
}

std::string answer(const Params& params, const std::string& body) {
    auto value = [&params](const std::string& name) {
        auto found = params.find(name);
        return found == params.end() ? std::string() : found->second;
    };
    const std::string query = value("QUERY_STRING");
    if (query == "id") return identity;
    if (query == "exit") std::_Exit(3);
    if (query.rfind("sleep=", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(query.c_str() + 6)));
        return "slept";
    }
    return "script=" + value("SCRIPT_FILENAME") + "\nmethod=" + value("REQUEST_METHOD") + "\nbody=" + body;
}

// Serves one connection until the server closes it.
void serve(int fd) {
    KoFastCgiRecordReader reader;
    std::string input;
    Params params;
    std::string body;
    bool keep = true;
    char buffer[16384];
    for (;;) {
        auto got = platform::receiveSome(fd, buffer, sizeof buffer);
        if (got.error.wouldBlock()) {
            platform::waitDescriptor(fd, platform::readable, -1);
            continue;
        }
        if (!got.error.ok() || got.bytes == 0) return;
        input.assign(buffer, got.bytes);
        std::size_t used = 0;
        for (;;) {
            const auto status = reader.next(input, used);
            if (status == KoFastCgiRecordReader::Status::failed) return;
            if (status == KoFastCgiRecordReader::Status::needMore) break;
            const KoFastCgiRecord& record = reader.Current();
            if (record.type == fastcgi::record::beginRequest) {
                params.clear();
                body.clear();
                keep = record.content.size() > 2 &&
                       (static_cast<unsigned char>(record.content[2]) & fastcgi::keepConnection) != 0;
            } else if (record.type == fastcgi::record::params) {
                readPairs(record.content, params);
            } else if (record.type == fastcgi::record::stdinStream && !record.content.empty()) {
                body += record.content;
            } else if (record.type == fastcgi::record::stdinStream) {
                std::string out;
                fastcgi::appendStream(out, fastcgi::record::stdoutStream, record.id,
                                      "Content-Type: text/plain\r\n\r\n" + answer(params, body));
                fastcgi::appendStream(out, fastcgi::record::stdoutStream, record.id, {});
                const std::string end(fastcgi::fixedBodyLength, '\0');  // exit status 0, request complete
                fastcgi::appendRecord(out, fastcgi::record::endRequest, record.id, end);
                if (!sendAll(fd, out) || !keep) return;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string where;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string_view(argv[i]) == "-b") where = argv[i + 1];
    }
    const std::size_t colon = where.rfind(':');
    if (colon == std::string::npos) return 2;
    platform::ResolveHints hints;
    hints.numericHost = true;
    hints.passive = true;
    auto found = platform::resolveStream(where.substr(0, colon), where.substr(colon + 1), hints);
    if (!found.ok() || found.entries.empty()) return 2;
    const auto& entry = found.entries.front();
    auto listening = platform::openSocket(entry.family, entry.type, entry.protocol);
    if (!listening.ok()) return 2;
    const int fd = listening.value().get();
    if (!platform::bindSocket(fd, entry.address).ok() || !platform::listenSocket(fd, 4).ok()) return 2;
    for (;;) {
        platform::waitDescriptor(fd, platform::readable, -1);
        auto accepted = platform::acceptSocket(fd);
        if (accepted.ok()) serve(accepted.value().socket.get());
    }
}
