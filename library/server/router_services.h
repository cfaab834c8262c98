// Server stack: what the request router needs from the application that
// owns it: the registry of command handlers and the store's variables. The
// application (a layer above) implements KoRouterServices; the router only
// sees this interface.
//
// KoApplicationHandler is the base of a command handler object: the
// registry owns registered handlers and destroys them with itself.
// Threads: the router calls these from the server's worker; implementations
// serialise on their own lock. Failures: whatever a handler throws reaches
// the router, which answers 500.
#pragma once

#include <memory>
#include <string>

class KoXHeader;
class KoXResponseHeader;

class KoApplicationHandler {
public:
    virtual ~KoApplicationHandler() = default;
    // The registry key.
    virtual std::string handlerName() const = 0;
    // Answers a command into response (its body, status, fields); the
    // response is sent whatever its status.
    virtual void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) = 0;
    // A handler that hands its place to another returns the successor once,
    // after message; the registry then destroys this one.
    virtual std::unique_ptr<KoApplicationHandler> takeReplacement() { return nullptr; }
};

class KoRouterServices {
public:
    virtual ~KoRouterServices() = default;
    // A new handler for the command URL; null when the application makes none.
    virtual std::unique_ptr<KoApplicationHandler> createHandler(const std::string& key) = 0;
    // False when no handler is registered under key.
    virtual bool forwardToHandler(const std::string& key, KoXHeader& request, KoXResponseHeader& response,
                                  const std::string& command) = 0;
    virtual bool storeHas(const std::string& key) = 0;
    // Puts the variable's value (empty when absent) into message's body.
    virtual bool storeLookup(const std::string& key, KoXResponseHeader& message) = 0;
};
