// Host interface: KoHostHandler, a host's handler (velko::Handler) in the
// application's model: a command handler of the registry or a route, which
// the router calls off the request path (mayBlock). It turns the request
// into a velko::Request (with the route's parameters and, for a multipart
// body held in a file, its parts read from there), calls the host, and
// writes the velko::Answer into the response, its body compressed as the
// policy and the answer allow (server/http/answer_compression.h).
// KoHostRequestOf and KoFillAnswer are those two steps. An upload route's
// handler (velko::UploadHandler) is called at the request's header end with
// a KoUploadBodyReader over the request's body pipe; its request has no body
// and no body form.
// May use: api, app, server, store, html, message and everything below.
//
// A handler that throws (or answers what cannot be sent: a status outside
// 200 to 599, a header field that is no "name: value") is answered 500
// with a line on standard error; the host's error hook is told first. The
// 500's body is the status text, or with showErrors the exception's
// message.
//
// Ownership: the handler holds a copy of the host's callable and shares
// the policy. The temporary files of uploads live until the handler returns.
// Threads: message may run on several threads at once; the callable must
// allow that. Failures: none escape message beyond std::bad_alloc;
// KoFillAnswer throws std::runtime_error for an answer that cannot be sent.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/files/file_encoding.h"
#include "server/http/answer_compression.h"
#include "server/routing/router_services.h"
#include "velkotwo/server.h"

class KoLiveChannels;

// What the host asked for the failures and answers of its handlers, and
// where streamed answers are ended when the server stops.
struct KoHostPolicy {
    std::function<void(const velko::Request& request, const std::string& error)> handlerError;
    bool showErrors = false;
    // How its answers are compressed: bodies as made, files as static ones.
    KoAnswerCompression compression;
    KoStaticCompression fileCompression;
    std::shared_ptr<KoLiveChannels> live;
};

class KoHostHandler : public KoApplicationHandler {
public:
    // pattern: the route's (its parameters reach the host), or "" for a command.
    KoHostHandler(std::string name, velko::Handler handler, std::string pattern = std::string(),
                  std::shared_ptr<const KoHostPolicy> policy = nullptr);
    // An upload route's.
    KoHostHandler(std::string name, velko::UploadHandler upload, std::string pattern,
                  std::shared_ptr<const KoHostPolicy> policy);

    std::string handlerName() const override { return name; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) override;
    bool mayBlock() const override { return true; }
    bool readsBodyAsItComes() const override { return static_cast<bool>(upload); }

private:
    void fail(const velko::Request& host, const std::string& error, KoXResponseHeader& response) const;

    const std::string name;
    const velko::Handler handler;
    const velko::UploadHandler upload;
    const std::string pattern;
    const std::shared_ptr<const KoHostPolicy> policy;
};

// The request as the host sees it: fields, the form of a body held in
// memory (query values first), cookies; no parameters, no spooled parts;
// for a body still streamed to its handler, no body at all.
// A query escape that is malformed sets *malformedQuery (the request is
// then answered 400); its pieces from there on are left out.
velko::Request KoHostRequestOf(const KoXHeader& request, const std::string& command,
                               bool* malformedQuery = nullptr);

// Status, header lines (checked and filtered as a CGI script's), and the
// body or the opened file. With the request, a 200 file answer to GET or
// HEAD gets a static file's validators, preconditions and ranges, and with
// fileCompression too a static file's compressed variants
// (server/files/file_encoding.h).
void KoFillAnswer(const velko::Answer& answer, KoXResponseHeader& response, const KoXHeader* request = nullptr,
                  const KoStaticCompression* fileCompression = nullptr);

// Empties an answer: no fields, body, file or location; the status stays.
void KoClearAnswer(KoXResponseHeader& response);
