// Public: velko::Server, the web server as an object, for hosts that want
// more than the three functions of velko_server_api.h: their own commands,
// routes and stored values beside the static files, CGI programs and PHP
// scripts. Link libvelkotwo (CMake: velkotwo::velkotwo, pkg-config:
// velkotwo-server), not libvelkotwodll_ssl_X64 as well.
//
//   velko::ServerOptions options;
//   options.certificate = "cacert.pem";
//   options.key = "privkey.pem";
//   options.documentRoot = "htmlroot";
//   velko::Server server(options);            // listening when it returns
//   server.setValue("greeting", "hello");     // GET /greeting answers it
//   server.on("GET", "/api/time", [](const velko::Request&) {
//       return velko::Answer::json("{\"now\": 1}");
//   });
//   server.onCommand("counter", [&](const velko::Request& request) {
//       server.setValue("counter", request.formValue("to", "0"));
//       return velko::Answer::text("ok");
//   });
//   server.onUpload("PUT", "/api/firmware", [](const velko::Request&, velko::BodyReader& body) {
//       std::string piece;
//       while (body.read(piece)) { /* hash or store it */ }
//       return velko::Answer::text(body.complete() ? "ok\n" : "cut\n", body.complete() ? 200 : 400);
//   });
//
// What answers a request, in order: a command (a POST, or a GET with
// ServerOptions::commandsOnGet, whose form field "velkoid" names a command
// registered with onCommand), a route (on or onUpload: method and path), a
// stored value (the path "/" + its name), then the document root's files,
// CGI programs and PHP scripts, then the 404 page (or the host's page,
// ServerOptions::errorPages). Routes and commands match
// the request's path after percent-decoding and collapsing runs of '/'.
// A command, or a route of a method other than GET, HEAD and OPTIONS, sent
// by a page of another site is answered 403; a Host the server does not
// answer for (on a loopback address: any but this machine's names), 421.
// ServerOptions::access and requestHook come before all of them.
//
// Handlers may block: they run on the library's own threads, off the path
// that reads requests and serves files, at most
// ServerOptions::handlerConcurrency at once (further calls wait their
// turn), and several may run at the same time, so a handler guards what it
// shares. A handler that throws is answered 500 "500 Internal Error" (see
// ServerOptions::handlerError and showHandlerErrors), with a line on
// standard error. An Answer's headers pass the checks of a CGI script's: a field
// that is no "name: value" gives 500; Content-Length, Connection and the
// other framing fields are the server's own and are dropped.
//
// Ownership: the Server owns the running server; its destructor stops it
// (stop). Handlers are kept (copied) until the server is destroyed or the
// registration is replaced. Requests and Answers are plain values.
// Threads: every member may be called from any thread, also from inside a
// handler, except stop() and the destructor: they wait for the handlers
// that run, so a handler must neither call them nor block for ever. The
// access-log callback runs on the server's threads.
// Failures: the constructor throws KoException (velkotwo/exception.h) with
// the messages of StartHTTPServer ("keys are missing", "port out of range:
// ...", ...); KoException_SSL "(SSL) problem with SSL key pair: " + why,
// naming the file (it cannot be read, holds no PEM of its kind, the files
// are swapped, the key is encrypted without a pass phrase or with a wrong
// one, the key belongs to another certificate); "the document root " +
// root + " does not exist (...)" or "... is not a directory"; "Could not
// bind " + address + " port " + port + ": " + why (the system's text) when
// the address and port cannot be bound; the store's when the store file
// cannot be read; "could not open the access log " + file; and, for
// ServerOptions::access and serverAddresses, a password file that cannot be
// read or holds a weak hash, a rule that cannot be read, or a password file
// on plain HTTP without passwordsOverHttp ("... needs HTTPS ..."); client
// certificates on plain HTTP ("client certificates need HTTPS") or a client
// CA file that cannot be loaded ("(SSL) problem with SSL trust store"). on() throws
// KoException for a path that does not begin with '/'. saveValues() throws
// KoException "could not write the store file " + file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velkotwo/exception.h"
#include "velkotwo/export.h"
#include "velkotwo/live.h"

namespace velko {

// A TLS client's certificate (ServerOptions::clientCertificates).
struct ClientCertificate {
    // "SUCCESS", "NONE" (none was sent) or "FAILED:" and why (an optional
    // check only); "" when the server asks for none.
    std::string verify;
    // Of a verified certificate only: its subject and issuer in RFC 2253
    // form ("CN=alice,O=Panel"), its serial number in upper-case hex and
    // the SHA-256 digest of the certificate in lower-case hex.
    std::string subject;
    std::string issuer;
    std::string serial;
    std::string fingerprint;
};

// A file sent in a multipart form (a part with a file name).
struct Upload {
    std::string name;         // the form field's name
    std::string fileName;     // as the client named it: never a path to trust
    std::string contentType;  // the part's own, "application/octet-stream" when none
    std::uint64_t size = 0;
    // The bytes, when the body was held in memory; else file names the
    // temporary file that holds them, readable until the handler returns.
    std::string content;
    std::string file;
};

// A request, as a handler sees it.
struct Request {
    std::string method;  // "GET", "POST", "HEAD"
    std::string target;  // as sent: path and query
    std::string path;    // percent-decoded, runs of '/' collapsed
    std::string query;   // after '?', not decoded
    // Header fields: names in lower case, the values as sent (blanks around
    // them dropped), in order.
    std::map<std::string, std::vector<std::string>> fields;
    // Form values, decoded: the query's, for every method, then an
    // urlencoded or multipart body's. form holds the last value of each
    // name (a body's over the query's), formLists every value in order
    // ("?k=1&k=2": {"1", "2"}). Parts with a file name are uploads, not
    // form values.
    std::map<std::string, std::string> form;
    std::map<std::string, std::vector<std::string>> formLists;
    std::vector<Upload> uploads;
    // A route's parameters: "/api/items/:id" gives "id", a trailing "*"
    // (with or without parameters) gives "*", the rest of the path.
    std::map<std::string, std::string> params;
    // The Cookie field's pairs; the first of a name sent twice.
    std::map<std::string, std::string> cookies;
    // The body as received (decoded, for chunks). A body larger than the
    // server's memory bound (1 MiB by default) is not held: body is then
    // empty, and bodyFile names the temporary file that holds it, readable
    // until the handler returns (it is removed when the request ends);
    // form then has no body fields but those of a multipart body, read
    // from the file (its uploads lie in files of their own). Empty for a
    // body held in body.
    std::string body;
    std::string bodyFile;
    std::string command;        // the form field "velkocommand" of a command
    std::string remoteAddress;  // the client's numeric address
    std::string user;           // who logged in (AccessRule::passwordFile), or ""
    ClientCertificate clientCertificate;

    // The first value of a header field (name in lower case), or "".
    std::string field(const std::string& name) const {
        auto it = fields.find(name);
        return it == fields.end() || it->second.empty() ? std::string() : it->second.front();
    }
    std::string formValue(const std::string& name, const std::string& fallback = std::string()) const {
        auto it = form.find(name);
        return it == form.end() ? fallback : it->second;
    }
    // Every value of a form name, in order; none when it was not sent.
    std::vector<std::string> values(const std::string& name) const {
        auto it = formLists.find(name);
        return it == formLists.end() ? std::vector<std::string>() : it->second;
    }
    std::string param(const std::string& name, const std::string& fallback = std::string()) const {
        auto it = params.find(name);
        return it == params.end() ? fallback : it->second;
    }
    std::string cookie(const std::string& name, const std::string& fallback = std::string()) const {
        auto it = cookies.find(name);
        return it == cookies.end() ? fallback : it->second;
    }
    // The first upload of a form field, or null.
    const Upload* upload(const std::string& name) const {
        for (const Upload& one : uploads) {
            if (one.name == name) return &one;
        }
        return nullptr;
    }
};

// A cookie an answer sets (Answer::setCookie).
struct Cookie {
    enum class SameSite { unset, strict, lax, none };

    std::string name;   // a token
    std::string value;  // printable ASCII without blanks, '"', ',', ';' and '\\'
    std::string path = "/";
    std::string domain;       // empty: this host only
    long long maxAge = -1;    // seconds; negative: a session cookie, 0: remove it
    bool httpOnly = true;     // hidden from the page's scripts
    bool secure = false;      // HTTPS only (always, with SameSite::none)
    SameSite sameSite = SameSite::lax;
};

// What a handler answers: a status, a content type and either a body or a
// file (sent in chunks, never read whole). For HEAD the body is not sent.
struct Answer {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    // When not empty: the file to send instead of body; a missing file is
    // answered 404, one that cannot be read 500. A 200 answer with a file
    // to GET or HEAD is a static file's: ETag and Last-Modified, 304 for
    // a client's current copy, 412 for a failed If-Match, and ranges.
    std::string file;
    // More header fields ("Cache-Control", "Set-Cookie", ...), in order.
    std::vector<std::pair<std::string, std::string>> headers;
    // A text body of 1 KiB or more goes out compressed (gzip, br) to a
    // client that takes it; over HTTPS only when this is true (or
    // ServerOptions::compressHostAnswersOverTls): a secret in the body
    // beside text the client chose leaks through the compressed size
    // (BREACH). A file goes the way of static files.
    bool compress = false;
    // When set, the body instead (live.h): written by the producer after the
    // head went out, on the handler's thread, chunked on HTTP/1.1 - or with
    // its Content-Length when streamLength is not negative.
    BodyProducer producer;
    long long streamLength = -1;
    static Answer stream(BodyProducer producer, std::string contentType = "text/plain; charset=utf-8",
                         long long length = -1) {
        Answer answer = make(200, std::move(contentType), std::string());
        answer.producer = std::move(producer);
        answer.streamLength = length;
        return answer;
    }

    static Answer text(std::string body, int status = 200) {
        return make(status, "text/plain; charset=utf-8", std::move(body));
    }
    static Answer html(std::string body, int status = 200) {
        return make(status, "text/html; charset=utf-8", std::move(body));
    }
    static Answer json(std::string body, int status = 200) {
        return make(status, "application/json", std::move(body));
    }
    // The content type is chosen by the file's extension when empty.
    static Answer sendFile(std::string path, std::string contentType = std::string()) {
        Answer answer = make(200, std::move(contentType), std::string());
        answer.file = std::move(path);
        return answer;
    }

    // Adds a Set-Cookie field. Throws KoException for a name, value, path
    // or domain that could break the header (and sets nothing).
    VELKO_API Answer& setCookie(const Cookie& cookie);

private:
    static Answer make(int status, std::string contentType, std::string body) {
        Answer answer;
        answer.status = status;
        answer.contentType = std::move(contentType);
        answer.body = std::move(body);
        return answer;
    }
};

using Handler = std::function<Answer(const Request& request)>;

// Where an upload route's handler (Server::onUpload) reads the request's
// body while it arrives. Used on the handler's thread only, until it returns.
class BodyReader {
public:
    // The next piece of the body into piece (what it held is replaced):
    // waits until bytes come. False at the end of the body: complete() then
    // tells a whole body from a cut one.
    virtual bool read(std::string& piece) = 0;
    // True once the whole body has been read; false before, and for a body
    // that was cut: the client went, it stalled past
    // ServerOptions::bodyTimeout, its chunks were malformed or went past
    // maxBody (answered 413 by the server), or the server stops.
    virtual bool complete() const = 0;
    // The length the client announced (Content-Length), -1 for none (chunks).
    virtual long long length() const = 0;
    // Bytes read so far.
    virtual unsigned long long bytesRead() const = 0;

protected:
    ~BodyReader() {}
};

using UploadHandler = std::function<Answer(const Request& request, BodyReader& body)>;

// A page for the server's own error answers of one status (ServerOptions::
// errorPages): the content of a file read at start (typed by its
// extension), or what a function answers. The function runs on the
// server's threads, also on those that read requests: it must be quick and
// must not block; the status is the one it is asked for, whatever the
// Answer says; should it throw, the built-in page goes out.
struct ErrorPage {
    std::string file;
    std::function<Answer(const Request& request, int status)> answer;

    static ErrorPage fromFile(std::string path) {
        ErrorPage page;
        page.file = std::move(path);
        return page;
    }
    static ErrorPage fromFunction(std::function<Answer(const Request& request, int status)> answer) {
        ErrorPage page;
        page.answer = std::move(answer);
        return page;
    }
};

// Asked for every request before anything answers it (after the address
// rules and passwords): true answers the request with answer (as the hook
// filled it), false lets it go on. It may set request.user, which handlers
// then see and CGI programs get as REMOTE_USER; other changes are not kept.
// It runs as handlers do.
using RequestHook = std::function<bool(Request& request, Answer& answer)>;

// Where the access log goes: one line per answer (the format of the user
// guide), without its line end.
struct AccessLog {
    enum class To { standardOutput, file, callback, nowhere };
    To to = To::standardOutput;
    std::string file;  // To::file: appended to
    std::function<void(const std::string& line)> callback;  // To::callback

    static AccessLog toFile(std::string path) {
        AccessLog log;
        log.to = To::file;
        log.file = std::move(path);
        return log;
    }
    static AccessLog toCallback(std::function<void(const std::string& line)> callback) {
        AccessLog log;
        log.to = To::callback;
        log.callback = std::move(callback);
        return log;
    }
    static AccessLog nowhere() {
        AccessLog log;
        log.to = To::nowhere;
        return log;
    }
};

// Header fields added to every answer (a script's or handler's own field of
// the same name is kept instead). Empty texts add nothing.
struct SecurityHeaders {
    // Strict-Transport-Security, on HTTPS answers only: "max-age=31536000".
    std::string strictTransportSecurity;
    // "DENY" or "SAMEORIGIN": X-Frame-Options, with Content-Security-Policy
    // frame-ancestors 'none' or 'self'.
    std::string frameOptions;
    // What browsers do without the field, so on by default.
    std::string referrerPolicy = "strict-origin-when-cross-origin";
    // X-Content-Type-Options: nosniff (stored values always carry it).
    bool noSniff = false;

    // All of them: a site served only over HTTPS, never in a frame.
    static SecurityHeaders strict() {
        SecurityHeaders headers;
        headers.strictTransportSecurity = "max-age=31536000";
        headers.frameOptions = "DENY";
        headers.referrerPolicy = "no-referrer";
        headers.noSniff = true;
        return headers;
    }
};

// Who may reach the paths that begin with a prefix. Checked before anything
// answers: commands (by the path they are sent to), routes, stored values,
// files and scripts alike. Every rule whose prefix covers a path applies.
struct AccessRule {
    // "/": the whole site; "/admin": /admin and every path below it.
    std::string pathPrefix = "/";
    // One rule a line, "allow NETWORK" or "deny NETWORK" (CIDR, IPv4 or
    // IPv6, or "all"); the first that holds the client decides, and with
    // none, "allow" lists refuse and "deny" lists admit. Refused: 403.
    std::string addresses;
    // "user:hash" lines (crypt(3) yescrypt, bcrypt or SHA-512, as
    // velkotwo_passwd makes them): HTTP Basic authentication, 401 without
    // the right password. Only over HTTPS, unless passwordsOverHttp.
    std::string passwordFile;
    std::string realm = "velkotwo";
};

// How the server is started. The limits and time-outs are the library's
// defaults; the user guide's table says what a client sees past each.
struct ServerOptions {
    // "127.0.0.1" or "::1": this machine only; "0.0.0.0", "::" or "": every
    // interface, IPv6 and IPv4.
    std::string address = "127.0.0.1";
    int port = 0;  // 0: the system chooses (see Server::port)
    bool https = true;
    std::string certificate;  // PEM, the server's certificate and its chain
    std::string key;          // PEM
    // Opens an encrypted key; empty: the key must not be encrypted. The
    // server never asks for one on the terminal.
    std::string keyPassphrase;
    // "": nothing below it is served: no files, and no stored values
    // either (routes and commands are).
    std::string documentRoot;
    // "": <documentRoot>/cgi-bin/. Programs are reached as /cgi-bin/<name>.
    std::string cgiDirectory;
    AccessLog accessLog;
    // When not empty: the stored values are loaded from this file at start
    // (a missing file: none) and written back to it by saveValues() and
    // when the server stops.
    std::string storeFile;
    // How long the constructor waits for the listening socket.
    std::chrono::milliseconds listenWait{10000};

    std::size_t handlerConcurrency = 8;  // handlers running at once
    std::size_t cgiConcurrency = 8;      // CGI and PHP runs at once
    std::chrono::milliseconds cgiTimeout{30000};
    // A script's body held at once for a slow client (at most 64 KiB are);
    // the script waits for room. Output itself has no limit.
    std::uint64_t cgiOutputLimit = 64ull * 1024 * 1024;
    std::size_t maxHeaderLine = 8 * 1024;
    std::size_t maxHeaderBytes = 64 * 1024;
    std::size_t maxHeaderFields = 100;
    std::uint64_t maxBody = 64ull * 1024 * 1024;
    std::chrono::milliseconds headerTimeout{30000};  // whole header, from its first byte
    std::chrono::milliseconds bodyTimeout{30000};    // a body without progress
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds idleTimeout{115000};
    std::size_t maxConnections = 0;  // 0: three quarters of the open-file limit
    int backlog = 511;
    // Event loops, each a thread that owns its connections from accept to
    // close; 0: one per processor the process may run on.
    std::size_t loops = 0;

    // Commands run for POST; true: for GET as well (a link or a typed
    // address can run one then). HEAD never runs a command.
    bool commandsOnGet = false;
    // Origins ("https://panel.example:8443") whose pages may post commands
    // and call routes of methods other than GET, HEAD and OPTIONS, beside
    // the server's own; other sites' are refused with 403.
    std::vector<std::string> allowedOrigins;
    // Host names answered beside "localhost", 127.0.0.1 and [::1]; on a
    // server bound to a loopback address every other Host is answered 421.
    // Bound elsewhere, a list that is not empty also limits the names
    // (IP addresses pass).
    std::vector<std::string> allowedHosts;
    SecurityHeaders securityHeaders;

    // Address rules for the whole server (AccessRule::addresses), checked
    // when a connection is accepted: a refused peer is closed before any
    // TLS handshake.
    std::string serverAddresses;
    std::vector<AccessRule> access;
    // A password file on a plain HTTP server sends passwords in the clear:
    // refused unless this is true (a proxy in front that speaks HTTPS).
    bool passwordsOverHttp = false;
    // Failed log-ins allowed from one address within a minute; after one
    // more it is answered 429 for a minute, right password or not.
    std::size_t maxLoginFailures = 10;

    // Client certificates (HTTPS only): off, none asked for; optional,
    // asked for, and a request without one or with one that does not
    // verify goes on, Request::clientCertificate saying so; required, the
    // handshake ends without one that verifies. Verified against the CAs
    // of clientCaFile (PEM), through at most clientCertificateDepth
    // intermediates.
    enum class ClientCertificates { off, optional, required };
    ClientCertificates clientCertificates = ClientCertificates::off;
    std::string clientCaFile;
    int clientCertificateDepth = 4;

    // Every request's check of the host's own (a token, say): it guards
    // commands, routes, stored values, files and scripts alike. Empty:
    // none, and no request waits for a handler thread.
    RequestHook requestHook;

    // By status (404, 500, 502, 503, 504 ...): what the server's own error
    // answers carry instead of the built-in text. A handler's or script's
    // own answer of that status is sent as it is.
    std::map<int, ErrorPage> errorPages;
    // Told of every exception a handler (a route's, a command's) throws,
    // with its message, on the handler's thread, before the 500 goes out.
    std::function<void(const Request& request, const std::string& error)> handlerError;
    // The 500 of a throwing handler says "500 Internal Error"; true: the
    // exception's message (for development: it may tell too much).
    bool showHandlerErrors = false;
    // The Server line of every answer, instead of the library's product
    // token; hideServerHeader: none at all. A handler's own Server field
    // replaces either.
    std::string serverHeader;
    bool hideServerHeader = false;

    // Compressed answers (gzip, br) for clients that take them: static files
    // of a text type, host answers and CGI and PHP output (false: none).
    bool compression = true;
    // Over HTTPS, besides static files: every host answer (not only those
    // with Answer::compress), and CGI and PHP output. Off by default: a
    // secret beside text the client chose leaks through the size (BREACH).
    bool compressHostAnswersOverTls = false;
    bool compressScriptsOverTls = false;

    // HTTP/2 on HTTPS, chosen by the browser through ALPN (false: HTTP/1.1
    // only), with at most this many requests at once on one connection. An
    // HTTP/2 connection without open requests ends after idleTimeout.
    bool http2 = true;
    std::size_t http2MaxStreams = 100;
};

class VELKO_API Server {
public:
    // Starts the server and returns once it listens.
    explicit Server(const ServerOptions& options);
    // stop().
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The port the server listens on (the chosen one for port 0).
    int port() const;

    // The handler for requests whose form field "velkoid" is id; the
    // request's "velkocommand" is Request::command. An empty handler
    // removes the command.
    void onCommand(const std::string& id, Handler handler);
    // The handler for requests of method ("GET", "POST", ...; "*": every
    // method; a GET route also answers HEAD) on path: an exact path
    // ("/status"); segments ":name" that take one whole segment each
    // ("/api/items/:id", Request::param("id")), optionally ending in "/*"
    // for the rest; or with a trailing '*' every path that begins with the
    // rest ("/api/*", the rest as param("*")). An exact path comes before a
    // pattern with parameters (a literal segment before a parameter), a
    // pattern before a prefix, a longer prefix before a shorter. A path that
    // routes take only for other methods is answered 405 with "Allow", and
    // OPTIONS on it 204 with "Allow" (unless a route takes OPTIONS). An
    // empty handler removes the route.
    void on(const std::string& method, const std::string& path, Handler handler);
    // A route as on() makes (the same paths, methods, 405 and OPTIONS, the
    // same cross-site and access rules), whose handler is called once the
    // request's header has come and reads the body through body as it
    // arrives: a large upload is hashed or stored while it comes and never
    // held whole. About 256 KiB wait for a handler that reads slowly; past
    // that the client is held back. "Expect: 100-continue" is answered only
    // for requests the route will take. The Request has no body, bodyFile
    // or body form values. The handler may answer before it has read the
    // body (413, 401 ...): the rest is then read past and dropped (within
    // maxBody and bodyTimeout), never answered again. On HTTP/2 likewise:
    // a stream's window is given back as its handler reads.
    void onUpload(const std::string& method, const std::string& path, UploadHandler handler);

    // Stored values: the path "/" + name answers the text (when no route or
    // command does, and a document root is set).
    void setValue(const std::string& name, const std::string& text);
    // The value, or fallback when there is none.
    std::string value(const std::string& name, const std::string& fallback = std::string()) const;
    bool hasValue(const std::string& name) const;
    // The text with every "[[name]]" replaced by the stored value (the empty
    // text for none); replacements are expanded again, within bounds.
    std::string expand(const std::string& text) const;
    // Writes the stored values to ServerOptions::storeFile (nothing without
    // one).
    void saveValues();

    // Live channels (live.h). A WebSocket on path (GET): a request that
    // asks for none is answered 426 with "Upgrade: websocket", a broken
    // handshake 400, a page of a refused Origin 403; the access log gets
    // the 101. Event streams on path (GET): "text/event-stream", not
    // cached, chunked on HTTP/1.1. An empty handler set removes the route.
    // on()'s path rules and errors apply.
    void webSocket(const std::string& path, WebSocketHandlers handlers,
                   WebSocketOptions options = WebSocketOptions());
    void events(const std::string& path, EventStreamHandlers handlers,
                EventStreamOptions options = EventStreamOptions());
    // A text message to every open WebSocket of the group (its options'
    // group, else its path), framed once for all; how many took it.
    std::size_t broadcast(const std::string& group, const std::string& text);

    // Stops listening, closes the connections, waits for running handlers
    // and CGI runs, then writes the store file (errors on standard error).
    // Idempotent.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace velko
