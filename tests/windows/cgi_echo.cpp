// A CGI program for the Windows end-to-end test: answers with its request
// method, query string and the body it read from its standard input.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

int main() {
    // Text mode would turn each "\n" into "\r\n", "\r\n" into "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    std::string body;
    const std::string length = variable("CONTENT_LENGTH");
    if (!length.empty()) {
        body.resize(std::strtoul(length.c_str(), nullptr, 10));
        std::cin.read(body.data(), static_cast<std::streamsize>(body.size()));
        body.resize(static_cast<std::size_t>(std::cin.gcount()));
    }
    std::cout << "Content-Type: text/plain\r\n\r\n"
              << "method=" << variable("REQUEST_METHOD") << "\n"
              << "query=" << variable("QUERY_STRING") << "\n"
              << "body=" << body << "\n";
    return 0;
}
