#include "message/transceiver_client.h"

#include <utility>

#include "foundation/exception.h"
#include "message/protocols.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "message/server_header.h"

namespace {

// The PHP interpreter run for scripts when "_phpbinname" is not set.
constexpr const char* defaultPhpBinary = "php-cgi";

std::string settingOr(const std::map<std::string, std::string>& settings, const std::string& key,
                      const std::string& fallback) {
    auto it = settings.find(key);
    return it == settings.end() ? fallback : it->second;
}

}  // namespace

KoTransceiverClient::KoTransceiverClient(KoServerCallback callback_, std::map<std::string, std::string> settings_,
                                         KoVelkoApplication2* application_)
    : baseDirectory(settingOr(settings_, "_baseDirectoryHTTP", "")),
      phpBinary(settingOr(settings_, "_phpbinname", defaultPhpBinary)),
      commandUrl(settingOr(settings_, "_app_context_commandurl", "")),
      callback(std::move(callback_)),
      settings(std::move(settings_)),
      application(application_) {}

KoTransceiverClient::~KoTransceiverClient() { withdraw(); }

int KoTransceiverClient::HandleCommand(const std::string& source, std::shared_ptr<KoXHeader> header) {
    Handler handler;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        handler = commandHandler;
    }
    return handler ? handler(source, std::move(header)) : 0;
}

int KoTransceiverClient::ReceiveSocketAnswer(const std::string&, std::shared_ptr<KoXHeader>) { return 0; }

bool KoTransceiverClient::ReceiveHTTPAnswer(const std::string&, std::shared_ptr<KoXHeader>) { return true; }

int KoTransceiverClient::ReceiveVELKOAnswer(const std::string&, std::shared_ptr<KoXHeader>) { return 0; }

bool KoTransceiverClient::Attach(KoTransceiver& transceiver_) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (transceiver != nullptr) return false;
    transceiver = &transceiver_;
    return true;
}

void KoTransceiverClient::Detach(KoTransceiver& transceiver_) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (transceiver == &transceiver_) transceiver = nullptr;
}

int KoTransceiverClient::RouteRequest(const std::string& source, std::shared_ptr<KoXHeader> header) {
    Handler handler;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        handler = requestRouter;
    }
    return handler ? handler(source, std::move(header)) : 0;
}

int KoTransceiverClient::HandleVELKORequest(const std::string& source, std::shared_ptr<KoXHeader> header) {
    Handler handler;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        handler = velkoHandler;
    }
    return handler ? handler(source, std::move(header)) : 0;
}

int KoTransceiverClient::ReceiveMessage(const std::string& source, std::shared_ptr<KoXHeader> header) {
    if (SourceKind(source) == 0) return 1;
    if (!header) return 0;
    const std::int32_t kind = header->messageKind.load();
    const std::int32_t code = header->ProtocolCode();
    if (kind == message_kind::Request) {
        if (code == protocol::HTTP || code == protocol::HTTPS) return RouteRequest(source, header);
        if (code == protocol::VELKO) return HandleVELKORequest(source, header);
        if (code == protocol::DirectSocket) return 1;
    } else if (kind == message_kind::Answer) {
        if (code == protocol::DirectSocket) return ReceiveSocketAnswer(source, header);
        if (code == protocol::HTTP || code == protocol::HTTPS) return ReceiveHTTPAnswer(source, header) ? 1 : 0;
        if (code == protocol::VELKO) return ReceiveVELKOAnswer(source, header);
    }
    return 0;
}

void KoTransceiverClient::AddRoute(std::string& resultName, std::shared_ptr<KoXHeader> description, bool flag) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (transceiver == nullptr || !description) return;
    std::string joinedTask;
    createJoinedTask(joinedTask, "send_" + description->name);
    description->attachToJoinedTask(joinedTask);
    transceiver->Dispatch(resultName, *this, description, callback, joinedTask, flag);
    if (!resultName.empty()) sources[resultName] = sourceRoute;
}

void KoTransceiverClient::AddServerLayer(std::string& resultName, std::shared_ptr<KoXServerHeader> description) {
    KoTransceiver* target = AttachedTransceiver();
    if (target == nullptr) throw KoException("client is not attached to a transceiver", __LINE__, "kotransceiver");
    target->AddServer(resultName, *this, std::move(description), callback);
    if (!resultName.empty()) AddSource(resultName, sourceLayer);
}

void KoTransceiverClient::SetRequestRouter(Handler handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    requestRouter = std::move(handler);
}

void KoTransceiverClient::SetVELKOHandler(Handler handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    velkoHandler = std::move(handler);
}

void KoTransceiverClient::SetCommandHandler(Handler handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    commandHandler = std::move(handler);
}

int KoTransceiverClient::SourceKind(const std::string& source) const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    auto it = sources.find(source);
    return it == sources.end() ? 0 : it->second;
}

void KoTransceiverClient::AddSource(const std::string& source, int kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    sources[source] = kind;
}

KoTransceiver* KoTransceiverClient::AttachedTransceiver() const {
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return transceiver;
}

std::string KoTransceiverClient::Setting(const std::string& key, const std::string& fallback) const {
    return settingOr(settings, key, fallback);
}
