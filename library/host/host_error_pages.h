// Host interface: KoHostErrorPages, the host's pages for the server's own
// error answers (velko::ServerOptions::errorPages): a file's content read
// once at start, or the host's function asked for each answer.
// May use: server, message, platform, foundation.
//
// Threads: fill may run on several threads at once (the host's functions
// must allow that). Failures: the constructor throws KoException "could
// not read the error page " + file; fill throws nothing (a function that
// throws, or answers what cannot be sent, leaves the built-in page, with a
// line on standard error).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "server/routing/error_pages.h"
#include "velkotwo/server.h"

class KoHostErrorPages : public KoErrorPages {
public:
    explicit KoHostErrorPages(const std::map<int, velko::ErrorPage>& pages);
    void fill(const KoXHeader& request, KoXResponseHeader& response) override;

private:
    struct Page {
        std::string type;
        std::string content;
        std::function<velko::Answer(const velko::Request& request, int status)> answer;
    };
    std::map<int, Page> pages;
};

// None for no pages.
std::shared_ptr<KoErrorPages> KoErrorPagesFor(const std::map<int, velko::ErrorPage>& pages);
