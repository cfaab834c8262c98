// The example host: starts an HTTPS server on the loopback address, waits
// until it reports its port, prints it, and stops it when the user enters a
// number. Paths are relative to the directory the program is started in.
#include <chrono>
#include <iostream>
#include <thread>

#include <velkotwo/velko_server_api.h>

int main() {
    void* handle = StartHTTPServer("127.0.0.1", 0, "./htmlroot/", "./htmlroot/cgi-bin/", "./cacert.pem",
                                   "./privkey.pem");

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
