// The host interface's routing and what the host controls, end to end:
// velko::Server on the loopback address over HTTPS, asked by curl.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/diagnostics.h"
#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

std::string Joined(const std::vector<std::string>& values) {
    std::string joined;
    for (const std::string& value : values) joined += (joined.empty() ? "" : ",") + value;
    return joined;
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// One request and what its answer (curl -i: head and body) must and must
// not hold.
struct Row {
    std::string curl;  // curl's arguments before the address
    std::string target;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class HostRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    void Start() {
        server = std::make_unique<velko::Server>(options);
        ASSERT_GT(server->port(), 0);
        base = "https://localhost:" + std::to_string(server->port());
    }

    std::string Curl(const std::string& arguments, const std::string& target) {
        return Directory::Capture("curl -sS -i --http1.1 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) + " " +
                                  arguments + " " + Quoted(base + target))
            .output;
    }

    void Check(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            const std::string answer = Curl(row.curl, row.target);
            for (const std::string& piece : row.present) {
                EXPECT_NE(answer.find(piece), std::string::npos) << row.target << " lacks " << piece << ":\n" << answer;
            }
            for (const std::string& piece : row.absent) {
                EXPECT_EQ(answer.find(piece), std::string::npos) << row.target << " holds " << piece << ":\n" << answer;
            }
        }
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string base;
};

// What went wrong: only exact paths and a trailing '*' reached a handler,
// without their parameters; a route's other methods and OPTIONS were
// answered 404; a POST's query was not in its form and a repeated name kept
// one value; an upload lost its file name and type (and past the memory
// bound was not read at all); cookies came only as the raw field; every
// JSON body wrote a diagnostic line.
TEST_F(HostRoutes, ParametersMethodsFormsCookiesAndUploads) {
    Start();
    server->on("GET", "/api/items/:id", [](const velko::Request& r) { return velko::Answer::text("item " + r.param("id")); });
    server->on("POST", "/api/items/:id", [](const velko::Request& r) {
        return velko::Answer::text("post " + r.param("id") + " q=" + r.formValue("q") + " k=" + Joined(r.values("k")));
    });
    server->on("GET", "/files/:dir/*", [](const velko::Request& r) {
        return velko::Answer::text(r.param("dir") + "|" + r.param("*"));
    });
    server->on("GET", "/pre/*", [](const velko::Request& r) { return velko::Answer::text("pre " + r.param("*")); });
    server->on("GET", "/echo", [](const velko::Request& r) {
        return velko::Answer::text("k=" + Joined(r.values("k")) + " last=" + r.formValue("k"));
    });
    server->on("GET", "/cookies", [](const velko::Request& r) {
        velko::Answer answer = velko::Answer::text("a=" + r.cookie("a") + " b=" + r.cookie("b", "none"));
        velko::Cookie cookie;
        cookie.name = "sid";
        cookie.value = "abc";
        cookie.maxAge = 60;
        cookie.secure = true;
        cookie.sameSite = velko::Cookie::SameSite::strict;
        return answer.setCookie(cookie);
    });
    server->on("GET", "/cookies/bad", [](const velko::Request&) {
        velko::Answer answer = velko::Answer::text("x");
        velko::Cookie cookie;
        cookie.name = "sid";
        cookie.value = "a\r\nX-Injected: 1";
        return answer.setCookie(cookie);
    });
    server->on("POST", "/upload", [](const velko::Request& r) {
        std::string seen = "note=" + r.formValue("note");
        for (const velko::Upload& upload : r.uploads) {
            std::string bytes = upload.content;
            if (!upload.file.empty()) {
                std::ifstream in(upload.file, std::ios::binary);
                bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            const bool whole = bytes.size() == upload.size;
            seen += " " + upload.name + ":" + upload.fileName + ":" + upload.contentType + ":" +
                    std::to_string(upload.size) + ":" + (upload.file.empty() ? "memory" : "file") +
                    (whole ? ":whole" : ":damaged");
        }
        return velko::Answer::text(seen);
    });
    server->on("POST", "/json", [](const velko::Request& r) { return velko::Answer::text("json " + r.body); });

    host_shell::WriteFile(dir.file("small.csv"), "1,2,3");
    {
        std::ofstream out(dir.file("large.bin"), std::ios::binary);
        out << std::string(2 << 20, 'u');
    }
    const std::string allow = "Allow: GET, HEAD, POST, OPTIONS\r\n";
    std::mutex lock;
    std::vector<std::string> lines;
    const KoDiagnosticSink before = setDiagnosticSink([&](std::string_view line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(line);
    });
    Check({
        {"", "/api/items/42", {"HTTP/1.1 200 OK", "\r\n\r\nitem 42"}, {}},
        {"", "/api/items/%34%32", {"item 42"}, {}},
        {"", "/files/docs/a/b.txt", {"docs|a/b.txt"}, {}},
        {"", "/pre/x/y", {"pre x/y"}, {}},
        {"-d k=a -d k=b", "/api/items/7?q=1&k=x", {"post 7 q=1 k=x,a,b"}, {}},
        {"-X DELETE", "/api/items/7", {"HTTP/1.1 405 Method Not Allowed", allow, "405 Method Not Allowed\n"}, {}},
        {"-X OPTIONS", "/api/items/7", {"HTTP/1.1 204 No Content", allow}, {}},
        // The route takes the path; the file route is not asked.
        {"-d x=1", "/echo", {"HTTP/1.1 405 ", "Allow: GET, HEAD, OPTIONS\r\n"}, {}},
        {"", "/echo?k=1&k=2&k=%33", {"k=1,2,3 last=3"}, {}},
        {"-b 'a=1; b=2'", "/cookies",
         {"a=1 b=2", "Set-Cookie: sid=abc; Path=/; Max-Age=60; Secure; HttpOnly; SameSite=Strict\r\n"}, {}},
        {"-b a=1", "/cookies", {"a=1 b=none"}, {}},
        {"", "/cookies/bad", {"HTTP/1.1 500 Internal Error"}, {"X-Injected", "Set-Cookie"}},
        {"-F note=hi -F " + Quoted("doc=@" + dir.file("small.csv") + ";type=text/csv"), "/upload",
         {"note=hi doc:small.csv:text/csv:5:memory:whole"}, {}},
        {"-F note=big -F " + Quoted("big=@" + dir.file("large.bin")), "/upload",
         {"note=big big:large.bin:application/octet-stream:2097152:file:whole"}, {}},
        {"-H 'Content-Type: application/json' --data-binary '{\"a\":1}'", "/json", {"json {\"a\":1}"}, {}},
    });
    setDiagnosticSink(before);
    std::lock_guard<std::mutex> guard(lock);
    // The refused cookie is the only failure; no body said anything.
    ASSERT_EQ(lines.size(), 1u) << Joined(lines);
    EXPECT_NE(lines.front().find("/cookies/bad"), std::string::npos) << lines.front();
}

// What went wrong: the 404 page could not be replaced, a handler's 500 had
// an empty body, a handler's Server field gave two Server lines, 401, 409,
// 418, 422 and 429 went out with the reason "Status", and a handler's file
// lost ETag, Last-Modified, 304 and ranges.
TEST_F(HostRoutes, ErrorPagesServerLineReasonsAndFileAnswers) {
    host_shell::WriteFile(dir.file("gone.html"), "<p>gone</p>");
    options.errorPages[404] = velko::ErrorPage::fromFile(dir.file("gone.html"));
    options.serverHeader = "panel/2";
    std::mutex lock;
    std::vector<std::string> failures;
    std::vector<std::string> logged;
    options.handlerError = [&](const velko::Request& request, const std::string& error) {
        std::lock_guard<std::mutex> guard(lock);
        failures.push_back(request.path + " " + error);
    };
    options.accessLog = velko::AccessLog::toCallback([&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        logged.push_back(line);
    });
    Start();
    server->on("GET", "/boom", [](const velko::Request&) -> velko::Answer { throw std::runtime_error("secret detail"); });
    server->on("GET", "/status/:code", [](const velko::Request& r) {
        return velko::Answer::text("s", std::stoi(r.param("code")));
    });
    server->on("GET", "/own-server", [](const velko::Request&) {
        velko::Answer answer = velko::Answer::text("mine");
        answer.headers.push_back({"Server", "mine/1"});
        return answer;
    });
    const std::string page = dir.file("htmlroot/index.html");
    server->on("GET", "/doc", [page](const velko::Request&) { return velko::Answer::sendFile(page); });
    server->on("POST", "/doc", [page](const velko::Request&) { return velko::Answer::sendFile(page); });
    const std::string text = host_shell::ReadFile(page);
    ASSERT_GT(text.size(), 5u);
    const std::string size = std::to_string(text.size());

    Check({
        {"", "/nothing/here", {"HTTP/1.1 404 Not Found", "Content-Type: text/html", "\r\n\r\n<p>gone</p>"}, {}},
        {"", "/boom", {"HTTP/1.1 500 Internal Error", "\r\n\r\n500 Internal Error\n"}, {"secret"}},
        {"", "/status/401", {"HTTP/1.1 401 Unauthorized\r\n"}, {}},
        {"", "/status/409", {"HTTP/1.1 409 Conflict\r\n"}, {}},
        {"", "/status/418", {"HTTP/1.1 418 I'm a teapot\r\n"}, {}},
        {"", "/status/422", {"HTTP/1.1 422 Unprocessable Content\r\n"}, {}},
        {"", "/status/429", {"HTTP/1.1 429 Too Many Requests\r\n"}, {}},
        {"", "/status/299", {"HTTP/1.1 299 Success\r\n"}, {}},
        // A handler's own 404 is not the error page.
        {"", "/status/404", {"HTTP/1.1 404 Not Found\r\n", "\r\n\r\ns"}, {"gone"}},
        {"", "/own-server", {"\r\nServer: mine/1\r\n"}, {"panel/2", "tessmar"}},
        {"", "/doc", {"HTTP/1.1 200 OK", "\r\nETag: \"", "\r\nLast-Modified: ", "Accept-Ranges: bytes",
                      "Content-Length: " + size + "\r\n", "Content-Type: text/html"}, {}},
        {"-r 0-4", "/doc", {"HTTP/1.1 206 Partial Content", "Content-Range: bytes 0-4/" + size,
                            "Content-Length: 5\r\n", "\r\n\r\n" + text.substr(0, 5)}, {}},
        // A POST gets the file whole, without validators.
        {"-d x=1", "/doc", {"HTTP/1.1 200 OK", "Content-Length: " + size + "\r\n"}, {"ETag"}},
    });
    const std::string full = Curl("", "/doc");
    const auto fieldOf = [&full](const std::string& name) {
        const std::size_t at = full.find("\r\n" + name + ": ");
        if (at == std::string::npos) return std::string();
        const std::size_t from = at + name.size() + 4;
        return full.substr(from, full.find("\r\n", from) - from);
    };
    const std::string tag = fieldOf("ETag");
    const std::string modified = fieldOf("Last-Modified");
    ASSERT_FALSE(tag.empty() || modified.empty()) << full;
    Check({
        {"-H " + Quoted("If-None-Match: " + tag), "/doc", {"HTTP/1.1 304 Not Modified", "ETag: " + tag}, {}},
        {"-H " + Quoted("If-Modified-Since: " + modified), "/doc", {"HTTP/1.1 304 Not Modified"}, {}},
        {"-H 'If-Match: \"other\"'", "/doc", {"HTTP/1.1 412 Precondition Failed"}, {}},
    });
    // One Server line always, the chosen one.
    for (const std::string target : {"/nothing/here", "/boom", "/status/429", "/doc", "/own-server"}) {
        const std::string answer = Curl("", target);
        EXPECT_EQ(Count(answer, "\r\nServer: "), 1u) << answer;
        if (target != "/own-server") {
            EXPECT_NE(answer.find("\r\nServer: panel/2\r\n"), std::string::npos) << answer;
        }
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(failures, (std::vector<std::string>{"/boom secret detail", "/boom secret detail"}));
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& line) {
        return line.find("\"GET /doc\" --> 304") != std::string::npos;
    })) << Joined(logged);
}

TEST_F(HostRoutes, PagesFromFunctionsMessagesShownAndNoServerLine) {
    options.errorPages[404] = velko::ErrorPage::fromFunction([](const velko::Request& request, int status) {
        return velko::Answer::html("<p>no page for " + request.path + " (" + std::to_string(status) + ")</p>", 200);
    });
    options.errorPages[500] = velko::ErrorPage::fromFunction([](const velko::Request&, int) {
        return velko::Answer::text("sorry");
    });
    options.showHandlerErrors = true;
    options.hideServerHeader = true;
    Start();
    server->on("GET", "/boom", [](const velko::Request&) -> velko::Answer { throw std::runtime_error("secret detail"); });
    // A directory is no file to send: the server's own 500.
    const std::string root = dir.file("htmlroot");
    server->on("GET", "/broken", [root](const velko::Request&) { return velko::Answer::sendFile(root); });
    Check({
        {"", "/missing", {"HTTP/1.1 404 Not Found", "Content-Type: text/html", "<p>no page for /missing (404)</p>"},
         {"\r\nServer:"}},
        {"", "/broken", {"HTTP/1.1 500 Internal Error", "\r\n\r\nsorry"}, {"\r\nServer:"}},
        // The host asked for the message: its page does not hide it.
        {"", "/boom", {"HTTP/1.1 500 Internal Error", "\r\n\r\nsecret detail\n"}, {"sorry", "\r\nServer:"}},
    });
}

}  // namespace
