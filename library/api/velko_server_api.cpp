#include "api/velko_server_api.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "api/handle_registry.h"
#include "api/server_handle.h"
#include "foundation/file_utils.h"

std::string KoNormaliseApiDirectory(const std::string& path) { return directoryPath(path); }

namespace {

constexpr unsigned kHighestPort = 65535;

// A negative port is taken as the positive one; 0 lets the system choose.
// One past the range would only fail on the listener's thread, out of the
// caller's sight.
unsigned CheckedPort(int port) {
    const unsigned magnitude = port < 0 ? 0u - static_cast<unsigned>(port) : static_cast<unsigned>(port);
    if (magnitude > kHighestPort) {
        throw KoException("port out of range: " + std::to_string(port) + " (0 to 65535)", __LINE__, "src");
    }
    return magnitude;
}

}  // namespace

std::unique_ptr<ServerHandle> KoBuildServer(const char* address, int port, const char* startpath,
                                            const char* cgibinpath, const char* cacert, const char* privkey,
                                            unsigned protocolCode, const KoApplicationSettings& settings,
                                            const std::function<void(KoPersistentAppStorage& store)>& prepareStore) {
    if (address == nullptr || startpath == nullptr || cgibinpath == nullptr) throw KoException("options are missing", 27, "src");
    if (cacert == nullptr || privkey == nullptr) throw KoException("keys are missing", 31, "src");
    const unsigned normalisedPort = CheckedPort(port);

    auto handle = std::make_unique<ServerHandle>();
    handle->store.selectApplication("velkotwodll");
    if (prepareStore) prepareStore(handle->store);
    const std::string host = address;
    handle->options["no_standard_handler"] = "true";
    handle->options["no_browser_popup"] = "true";
    handle->options["startpath"] = KoNormaliseApiDirectory(KoNormaliseApiDirectory(startpath));
    handle->options["cgibinpath"] = KoNormaliseApiDirectory(KoNormaliseApiDirectory(cgibinpath));
    std::map<std::string, std::string> keys{{"cacertificate", cacert}, {"privatekey", privkey}};
    HostEntry entry;
    entry.address = host;
    entry.port = normalisedPort;
    entry.protocolCode = protocolCode;
    entry.keys = keys;
    std::vector<HostEntry> hosts{entry};
    handle->application = std::make_unique<KoVelkoApplication2>(&handle->store, hosts, handle->options, settings);
    handle->application->initialize();
    handle->application->start();
    return handle;
}

void* KoStartServer(const char* address, int port, const char* startpath, const char* cgibinpath, const char* cacert,
                    const char* privkey, unsigned protocolCode, const KoApplicationSettings& settings,
                    const std::function<void(KoPersistentAppStorage& store)>& prepareStore) {
    return KoRegisterHandle(
        KoBuildServer(address, port, startpath, cgibinpath, cacert, privkey, protocolCode, settings, prepareStore));
}

void* StartHTTPServer(const char* address, int port, const char* startpath, const char* cgibinpath, const char* cacert,
                      const char* privkey) {
    try {
        return KoStartServer(address, port, startpath, cgibinpath, cacert, privkey, 4, KoApplicationSettings{});
    } catch (const KoException_SSL& error) {
        // Only the exported type leaves the library; its message is the
        // system's own, the cause went to standard error.
        throw KoException_SSL(static_cast<const KoException&>(error));
    }
}

int ServerPort(void* handle) {
    if (handle == nullptr) return 0;
    int port = 0;
    KoWithLiveHandle(handle, [&port](ServerHandle& server) {
        if (!server.application) return;
        const auto options = server.application->options();
        auto it = options.find("tcp_port_https");
        if (it == options.end()) it = options.find("tcp_port_http");
        if (it == options.end() || it->second.empty()) return;
        port = static_cast<int>(std::stoul(it->second));
    });
    return port;
}

int StopHTTPserver(void* handle) {
    if (handle == nullptr) return 0;
    std::unique_ptr<ServerHandle> server = KoUnregisterHandle(handle);
    if (!server) return kStopUnknownHandle;
    if (server->application) server->application->shutdown();
    // The application goes first, the store last.
    server->application.reset();
    return 0;
}
