// Server stack: KoErrorPages, what a host puts in the server's own error
// answers instead of the built-in texts. The router asks it for every
// answer that KoIsOwnErrorAnswer names, just before the answer goes out.
// Threads: fill runs on any thread that sends an answer (a connection's
// loop too), several at once; it must not block. Failures: fill throws
// nothing; a page that cannot be made leaves the answer as it was.
#pragma once

class KoXHeader;
class KoXResponseHeader;

class KoErrorPages {
public:
    virtual ~KoErrorPages() = default;
    // Replaces the answer's body (and type) by the page for its status,
    // when there is one; the status stays.
    virtual void fill(const KoXHeader& request, KoXResponseHeader& response) = 0;
};

// A 404 or 5xx the server made itself: no script's or handler's header
// lines, no file.
bool KoIsOwnErrorAnswer(const KoXResponseHeader& response);
