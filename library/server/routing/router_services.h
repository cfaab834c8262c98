// Server stack: what the request router needs from the application that
// owns it: the registry of command handlers and the store's variables. The
// application (a layer above) implements KoRouterServices; the router only
// sees this interface.
//
// KoApplicationHandler is the base of a command handler object (and of a
// host's route): the registry owns registered handlers and destroys them
// with itself. A handler that may block (mayBlock) is called off the request
// path, on the router's handler queue, and may run on several threads at
// once; the others are called on the server's worker.
// Threads: the router calls the services from the server's worker and its
// handler queue; implementations serialise on their own lock and hold none
// while a handler runs. Failures: whatever a handler throws reaches the
// router, which answers 500 with a line on standard error.
#pragma once

#include <memory>
#include <string>
#include <vector>

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
    // True when message may block: the router then calls it off the request
    // path and sends the response when it returns.
    virtual bool mayBlock() const { return false; }
    // True for an upload route's handler, which blocks: it is called at the
    // request's header end and reads the body from the request's
    // KoRequestBodyPipe as it arrives. It must not touch the request's body
    // or form meanwhile, only what the header settled.
    virtual bool readsBodyAsItComes() const { return false; }
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
    // Whether any command handler is registered: without one, no request's
    // form needs to be read to look for "velkoid".
    virtual bool hasCommands() { return true; }
    // Whether a command handler is registered under key.
    virtual bool hasHandler(const std::string&) { return true; }
    // Whether the handler registered under key may block; false without one.
    virtual bool handlerMayBlock(const std::string&) { return false; }
    // The host's route for a request's method and (normalised) path, or null;
    // the router calls its message with an empty command.
    virtual std::shared_ptr<KoApplicationHandler> routeHandler(const std::string&, const std::string&) {
        return nullptr;
    }
    // When routes take the path but none the method: the methods they
    // take (upper case, sorted); else none.
    virtual std::vector<std::string> routeMethods(const std::string&, const std::string&) { return {}; }
};
