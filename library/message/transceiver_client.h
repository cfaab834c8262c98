// Message layer, exchange engine: KoTransceiverClient, the application-side
// client of a transceiver. The protocol layers and hook services of a server
// are registered on its behalf (AddServerLayer, AddRoute); parsed messages
// come back to it (ReceiveMessage) and go to the handler that their kind and
// protocol code select.
//
// The request router, the VELKO handler and the command handler belong to
// layers above this one; they are installed as handlers (SetRequestRouter,
// ...) or by overriding the virtual operations. Without one, a message that
// needs it is not handled (result 0).
//
// Ownership: the application owns clients by shared reference; the
// transceiver keeps one too while the client is registered. The client keeps
// a plain pointer to the transceiver it is attached to, set and cleared by
// the transceiver (Attach/Detach). Threads: any thread; the client's mutex
// guards the transceiver pointer and the sources map, and is held while a
// route is dispatched (the transceiver never takes it under its own locks).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "jobs/job.h"
#include "message/server_callback.h"

class KoTransceiver;
class KoVelkoApplication2;
class KoXHeader;
class KoXServerHeader;

class KoTransceiverClient : public KoJob {
public:
    // Kinds in the sources map.
    static constexpr int sourceLayer = 1;
    static constexpr int sourceRoute = 2;

    using Handler = std::function<int(const std::string& source, std::shared_ptr<KoXHeader> header)>;

    KoTransceiverClient(KoServerCallback callback, std::map<std::string, std::string> settings,
                        KoVelkoApplication2* application);
    ~KoTransceiverClient() override;

    // Application commands (form fields "velkoid" and "velkocommand").
    virtual int HandleCommand(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Answers of a direct-socket exchange.
    virtual int ReceiveSocketAnswer(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Answers of an HTTP exchange: marks the header handled.
    virtual bool ReceiveHTTPAnswer(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Answers of a VELKO exchange.
    virtual int ReceiveVELKOAnswer(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Attaches to a transceiver; false when one is attached already.
    virtual bool Attach(KoTransceiver& transceiver);
    virtual void Detach(KoTransceiver& transceiver);
    // HTTP and HTTPS requests (the request router).
    virtual int RouteRequest(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Routes a parsed message by kind and protocol code; 1 for a source the
    // client does not know.
    virtual int ReceiveMessage(const std::string& source, std::shared_ptr<KoXHeader> header);
    // VELKO requests.
    virtual int HandleVELKORequest(const std::string& source, std::shared_ptr<KoXHeader> header);
    // Hands a request description to a hook service of the transceiver.
    virtual void AddRoute(std::string& name, std::shared_ptr<KoXHeader> description, bool flag);
    // Asks the transceiver for the protocol layer of a server description.
    // Throws KoException when no transceiver is attached or the layer cannot
    // be built.
    virtual void AddServerLayer(std::string& name, std::shared_ptr<KoXServerHeader> description);

    void SetRequestRouter(Handler handler);
    void SetVELKOHandler(Handler handler);
    void SetCommandHandler(Handler handler);

    // Whether messages from this name are accepted, and as what (0: no).
    int SourceKind(const std::string& source) const;
    // Accept messages from a source that did not come through AddRoute or
    // AddServerLayer (a layer created by other means).
    void AddSource(const std::string& source, int kind);
    KoTransceiver* AttachedTransceiver() const;
    std::string Setting(const std::string& key, const std::string& fallback = "") const;

    const std::string baseDirectory;
    const std::string cgiUrlPrefix = "cgi-bin/";
    const std::string cgiDirectory = "cgi-bin/";
    const std::string scriptExtension = ".php";
    const std::string phpBinary;
    const std::string commandUrl;
    const std::string instanceField = "velkoid";
    const std::string commandField = "velkocommand";

protected:
    mutable std::recursive_mutex mutex;
    KoTransceiver* transceiver = nullptr;
    std::map<std::string, int> sources;
    KoServerCallback callback;
    const std::map<std::string, std::string> settings;
    KoVelkoApplication2* const application;

private:
    Handler requestRouter;
    Handler velkoHandler;
    Handler commandHandler;
};
