// The example host: starts an HTTPS server on the loopback address, waits
// until it reports its port, prints it, and stops it when the user enters a
// number. Paths are relative to the directory the program is started in.
// A server that cannot start (no certificate or key here, ...) ends it with
// the reason on standard error and status 1.
#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

#include <velkotwo/velko_server_api.h>

int main() {
    void* handle = nullptr;
    try {
        handle = StartHTTPServer("127.0.0.1", 0, "./htmlroot/", "./htmlroot/cgi-bin/", "./cacert.pem",
                                 "./privkey.pem");
    } catch (const std::exception& error) {  // KoException, KoException_SSL: say why, not abort
        std::cerr << "velkotwodll_ssl_example: cannot start the server: " << error.what() << std::endl;
        return 1;
    }

    while (ServerPort(handle) == 0) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::nanoseconds(100000000));
    }
    std::cout << "connected at port: " << ServerPort(handle) << std::endl;
    std::cout << "enter an integer (+<CR>) to terminate the example program: ";
    std::cout.flush();

    int answer = 0;
    std::cin >> answer;

    StopHTTPserver(handle);
    return 0;
}
