// Benchmark host: runs this server the way an embedding program does, HTTPS
// through the three exported functions, and beside it a plain HTTP host
// entry of the application, both on 127.0.0.1 and serving one document
// root. It prints the two ports and the number of event loops the HTTP host
// runs ("loops -" when VELKO_LOOPS asks for none: one per usable
// processor; the HTTPS server always runs that default), writes the access log to standard output and runs until
// standard input ends (or a line "quit" arrives). Without HTTPS (its set-up
// failed) it reports https port 0 and serves HTTP alone. A line
// "allocations" on standard input prints "allocations N mallocs M" on
// standard error: the operator new calls so far and the C allocations
// (malloc, calloc, realloc; operator new's included), which
// bench/count_allocations.py reads.
// A line "heap" prints "heap N", the bytes of the heap in use (bench/idle_heap.py).
//
//   [VELKO_LOOPS=N] bench_host ROOT CERT KEY [HTTPS_PORT [HTTP_PORT]]   (ports: 0 = any)
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "api/velko_server_api.h"
#include "app/host_entry.h"
#include "app/velko_application.h"

namespace {

constexpr auto kPortPoll = std::chrono::milliseconds(50);
constexpr int kPortPolls = 200;  // 10 s to bind

// Polls until port() reports a port; 0 if it never does.
template <typename Probe>
int WaitForPort(Probe port) {
    for (int i = 0; i < kPortPolls; ++i) {
        if (const int p = port(); p != 0) return p;
        std::this_thread::sleep_for(kPortPoll);
    }
    return 0;
}

int HttpPort(KoVelkoApplication2& application) {
    const auto options = application.options();
    const auto it = options.find("tcp_port_http");
    return it == options.end() || it->second.empty() ? 0 : std::stoi(it->second);
}

// The event loop count the benchmark asks for in VELKO_LOOPS, applied to
// the plain HTTP host ("-" when none is asked for, or the value is not a
// count: the server then runs one loop per usable processor).
std::string ApplyLoops(KoApplicationSettings& settings) {
    const char* loops = std::getenv("VELKO_LOOPS");
    if (loops == nullptr || *loops == '\0') return "-";
    char* end = nullptr;
    const unsigned long count = std::strtoul(loops, &end, 10);
    if (*end != '\0' || count == 0) {
        std::cerr << "bench_host: VELKO_LOOPS=" << loops << " ignored: not a count of event loops\n";
        return "-";
    }
    settings.transceiver.loops = count;
    return std::to_string(count);
}

struct HttpsServer {
    void* handle = nullptr;
    ~HttpsServer() { StopHTTPserver(handle); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        std::cerr << "usage: bench_host ROOT CERT KEY [HTTPS_PORT [HTTP_PORT]]\n";
        return 2;
    }
    std::string root = argv[1];
    if (root.back() != '/') root += '/';
    const std::string cgi = root + "cgi-bin/";
    const int httpsPort = argc > 4 ? std::stoi(argv[4]) : 0;
    const int httpPort = argc > 5 ? std::stoi(argv[5]) : 0;

    try {
        // A server that cannot start HTTPS still serves the plain HTTP runs.
        HttpsServer https;
        try {
            https.handle = StartHTTPServer("127.0.0.1", httpsPort, root.c_str(), cgi.c_str(), argv[2], argv[3]);
        } catch (const std::exception& e) {
            std::cerr << "bench_host: no HTTPS: " << e.what() << "\n";
        }

        HostEntry entry;
        entry.address = "127.0.0.1";
        entry.port = static_cast<std::uint32_t>(httpPort);
        entry.protocolCode = 3;
        const KoVelkoApplication2::Options options{{"_baseDirectoryHTTP", root},
                                                   {"cgibinpath", cgi},
                                                   {"no_browser_popup", "true"},
                                                   {"no_standard_handler", "true"}};
        KoApplicationSettings settings;
        const std::string loops = ApplyLoops(settings);
        auto http = std::make_unique<KoVelkoApplication2>(nullptr, std::vector<HostEntry>{entry}, options, settings);
        http->initialize();
        http->start();

        const int boundHttps = https.handle ? WaitForPort([&] { return ServerPort(https.handle); }) : 0;
        const int boundHttp = WaitForPort([&] { return HttpPort(*http); });
        if (boundHttp == 0 || (https.handle && boundHttps == 0)) {
            std::cerr << "bench_host: a server did not start listening\n";
            return 1;
        }
        std::cout << "https port " << boundHttps << "\nhttp port " << boundHttp << "\nloops " << loops << std::endl;

        for (std::string line; std::getline(std::cin, line) && line != "quit";) {
            if (line == "allocations") {
                std::cerr << "allocations " << AllocationsSoFar() << " mallocs " << MallocsSoFar() << std::endl;
            }
            if (line == "heap") std::cerr << "heap " << HeapBytesInUse() << std::endl;
        }
        http->shutdown();
        http.reset();
    } catch (const std::exception& e) {
        std::cerr << "bench_host: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
