// Host interface: KoHostHandler, a host's handler (velko::Handler) in the
// application's model: a command handler of the registry or a route, which
// the router calls off the request path (mayBlock). It turns the request
// into a velko::Request, calls the host, and writes the velko::Answer into
// the response. KoHostRequestOf and KoFillAnswer are those two steps.
// May use: api, app, server, store, html, message and everything below.
//
// Ownership: the handler holds a copy of the host's callable.
// Threads: message may run on several threads at once; the callable must
// allow that. Failures: whatever the host's callable throws, and
// std::runtime_error for an answer that cannot be sent (a status outside
// 200 to 599, a header field that is no "name: value"): the router answers
// 500 with the text on standard error.
#pragma once

#include <string>

#include "server/router_services.h"
#include "velkotwo/server.h"

class KoHostHandler : public KoApplicationHandler {
public:
    KoHostHandler(std::string name, velko::Handler handler);

    std::string handlerName() const override { return name; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) override;
    bool mayBlock() const override { return true; }

private:
    const std::string name;
    const velko::Handler handler;
};

velko::Request KoHostRequestOf(const KoXHeader& request, const std::string& command);

// Status, header lines (checked and filtered as a CGI script's), and the
// body or the opened file.
void KoFillAnswer(const velko::Answer& answer, KoXResponseHeader& response);
