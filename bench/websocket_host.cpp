// The benchmark's WebSocket host: the host interface serving a WebSocket at
// /ws/echo that sends every message back as it came, over plain HTTP on
// 127.0.0.1 (the port given, 0: any), with an empty document root. It
// prints "ws port N" once it listens and stops at the end of its input.
//
//   websocket_host DOCUMENT_ROOT [PORT]
#include <velkotwo/live.h>
#include <velkotwo/server.h>

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: websocket_host DOCUMENT_ROOT [PORT]\n";
        return 2;
    }
    velko::ServerOptions options;
    options.https = false;
    options.documentRoot = argv[1];
    options.port = argc > 2 ? std::atoi(argv[2]) : 0;
    try {
        velko::Server server(options);
        velko::WebSocketHandlers echo;
        echo.onMessage = [](const velko::WebSocketPtr& socket, const std::string& message, bool binary) {
            if (binary) {
                socket->sendBinary(message);
            } else {
                socket->sendText(message);
            }
        };
        velko::WebSocketOptions settings;
        settings.permessageDeflate = false;  // as the peers are run
        settings.pingInterval = std::chrono::milliseconds(0);
        server.webSocket("/ws/echo", echo, settings);
        std::cout << "ws port " << server.port() << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        server.stop();
    } catch (const std::exception& error) {
        std::cerr << "websocket_host: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
