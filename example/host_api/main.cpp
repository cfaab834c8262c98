// The host interface's example: serves the sample site in ./htmlroot over
// HTTPS (./cacert.pem, ./privkey.pem) on the loopback address and adds a
// small live page:
//   /live               a page built with velko::Page that shows the stored
//                       value "greeting" and, through a script, the counter
//   /api/counter        JSON with a counter that counts its calls
//   /api/values/NAME    the stored value NAME as text (404: none)
//   velkoid=greeting    the command (posted by the page's form) that sets
//                       the greeting, then sends the browser back to /live
//   /greeting           the stored value itself
//   /ws/echo            a WebSocket that sends every message back as it
//                       came (text as text, binary as binary; compressed
//                       when the browser offers permessage-deflate); every
//                       open page also gets the counter whenever it changes
//   /events             Server-Sent Events: the time, once a second
// The values are kept in ./host_example.xml between runs. Only this machine
// and the local network may connect; with a password file ./passwords
// (velkotwo_passwd USER passwords) every page asks for a log-in. It prints
// its address and stops on a line of input (or the end of it).
#include <velkotwo/page.h>
#include <velkotwo/server.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

velko::Answer LivePage(const velko::Server& server) {
    velko::Page page;
    page.title("velkotwo live page");
    page.head().add("link").attribute("rel", "stylesheet").attribute("href", "/style.css");
    velko::Page::Element body = page.body();
    body.add("h1").text("Live page");
    body.add("p").text("Greeting: ").add("strong").attribute("id", "greeting").text(server.expand("[[greeting]]"));
    body.add("p").text("Counter: ").add("span").attribute("id", "counter").text("?");
    body.add("p").text("Echo: ").add("span").attribute("id", "echo").text("?");
    body.add("p").text("Time: ").add("span").attribute("id", "time").text("?");

    velko::Page::Element form = body.add("form").attribute("method", "POST").attribute("action", "/live");
    form.add("input").attribute("type", "hidden").attribute("name", "velkoid").attribute("value", "greeting");
    form.add("input").attribute("type", "hidden").attribute("name", "velkocommand").attribute("value", "set");
    form.add("input").attribute("name", "text").attribute("value", server.value("greeting"));
    form.add("button").attribute("type", "submit").text("Set greeting");

    body.add("script").markup(
        "fetch('/api/counter').then(function (r) { return r.json(); }).then(function (data) {\n"
        "  document.getElementById('counter').textContent = String(data.counter);\n"
        "});\n"
        "var socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws/echo');\n"
        "socket.onopen = function () { socket.send('echo from ' + navigator.userAgent.split(' ')[0]); };\n"
        "socket.onmessage = function (message) {\n"
        "  if (message.data.indexOf('{\"counter\"') === 0) {\n"
        "    document.getElementById('counter').textContent = String(JSON.parse(message.data).counter);\n"
        "  } else {\n"
        "    document.getElementById('echo').textContent = message.data;\n"
        "  }\n"
        "};\n"
        "new EventSource('/events').onmessage = function (event) {\n"
        "  document.getElementById('time').textContent = event.data;\n"
        "};");
    return velko::Answer::html(page.html());
}

// The open event streams, sent the time once a second by a thread of the
// host's own until it is stopped.
class Clock {
public:
    void add(const velko::EventStreamPtr& stream) {
        std::lock_guard<std::mutex> guard(lock);
        streams.insert(stream);
    }
    void remove(const velko::EventStreamPtr& stream) {
        std::lock_guard<std::mutex> guard(lock);
        streams.erase(stream);
    }
    void run() {
        std::unique_lock<std::mutex> guard(lock);
        while (!stopped) {
            char text[32];
            const std::time_t now = std::time(nullptr);
            std::strftime(text, sizeof text, "%H:%M:%S UTC", std::gmtime(&now));
            for (const velko::EventStreamPtr& stream : streams) stream->send(text);
            changed.wait_for(guard, std::chrono::seconds(1), [this] { return stopped; });
        }
    }
    void stop() {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
        changed.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    std::set<velko::EventStreamPtr> streams;
    bool stopped = false;
};

}  // namespace

int main() {
    velko::ServerOptions options;
    options.certificate = "cacert.pem";
    options.key = "privkey.pem";
    options.documentRoot = "htmlroot";
    options.storeFile = "host_example.xml";
    // Refused at accept (no TLS handshake) unless from here or the LAN.
    options.serverAddresses = "allow 127.0.0.0/8\nallow ::1\nallow 192.168.0.0/16\nallow fd00::/8";
    if (std::ifstream("passwords")) options.access.push_back({"/", "", "passwords", "velkotwo example"});

    try {
        // Before the server, which may still call back while it stops.
        Clock clock;
        velko::Server server(options);
        if (!server.hasValue("greeting")) server.setValue("greeting", "Hello from the host");

        std::atomic<long> counter{0};
        server.on("GET", "/api/counter", [&counter, &server](const velko::Request&) {
            const std::string json = "{\"counter\": " + std::to_string(++counter) + "}";
            // Every open page shows it.
            server.broadcast("/ws/echo", json);
            return velko::Answer::json(json);
        });

        velko::WebSocketHandlers echo;
        echo.onMessage = [](const velko::WebSocketPtr& socket, const std::string& message, bool binary) {
            binary ? socket->sendBinary(message) : socket->sendText(message);
        };
        server.webSocket("/ws/echo", echo);

        velko::EventStreamHandlers times;
        times.onOpen = [&clock](const velko::EventStreamPtr& stream) { clock.add(stream); };
        times.onClose = [&clock](const velko::EventStreamPtr& stream) { clock.remove(stream); };
        server.events("/events", times);
        std::thread ticking([&clock] { clock.run(); });
        struct Joined {
            Clock& clock;
            std::thread& thread;
            ~Joined() {
                clock.stop();
                thread.join();
            }
        } joined{clock, ticking};
        server.on("GET", "/live", [&server](const velko::Request&) { return LivePage(server); });
        // A stored value by name, as text; its other methods get 405 with Allow.
        server.on("GET", "/api/values/:name", [&server](const velko::Request& request) {
            const std::string name = request.param("name");
            if (!server.hasValue(name)) return velko::Answer::text("no such value\n", 404);
            return velko::Answer::text(server.value(name));
        });
        server.onCommand("greeting", [&server](const velko::Request& request) {
            if (request.command != "set") return velko::Answer::text("unknown command\n", 400);
            server.setValue("greeting", request.formValue("text"));
            velko::Answer back = velko::Answer::text("greeting set\n", 303);
            back.headers.push_back({"Location", "/live"});
            return back;
        });

        std::cout << "serving https://localhost:" << server.port() << "/ (live page: https://localhost:"
                  << server.port() << "/live); press Enter to stop" << std::endl;
        std::string line;
        std::getline(std::cin, line);
    } catch (const KoException& error) {  // KoException_SSL too: unusable certificate or key
        std::cerr << "cannot serve: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
