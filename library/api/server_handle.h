// Embedding interface: ServerHandle, what the exported functions hand out as
// an untyped pointer: the persistent store first (its address is the
// handle's), then the owning pointer to the application, then the host's
// options as given. Internal; the host never sees the type.
// Threads: the host's thread. Failures: the store's constructor.
// Live handles are kept in the registry of api/handle_registry.h.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/velko_application.h"
#include "store/persistent_app_storage.h"

struct ServerHandle {
    KoPersistentAppStorage store;
    std::unique_ptr<KoVelkoApplication2> application;
    std::map<std::string, std::string> options;
};

// Directory normalisation of the API's path arguments: a separator is
// appended when missing; idempotent; an empty path stays empty.
std::string KoNormaliseApiDirectory(const std::string& path);

// Builds and starts a server as StartHTTPServer does, with a protocol code
// and settings of one's choosing (the exported function serves HTTPS with
// the defaults), and hands it to the caller, which owns it; it is not in the
// registry of live handles. prepareStore, when given, sees the store once
// the application entry is selected, before the server starts. Throws what
// StartHTTPServer throws ("port out of range" too), with TLS set-up errors
// as KoTlsKeyPairError where the key pair is at fault.
std::unique_ptr<ServerHandle> KoBuildServer(const char* address, int port, const char* startpath,
                                            const char* cgibinpath, const char* cacert, const char* privkey,
                                            unsigned protocolCode, const KoApplicationSettings& settings,
                                            const std::function<void(KoPersistentAppStorage& store)>& prepareStore = {});

// KoBuildServer, with the handle made live for ServerPort and StopHTTPserver;
// for hosts and tests inside the library.
void* KoStartServer(const char* address, int port, const char* startpath, const char* cgibinpath, const char* cacert,
                    const char* privkey, unsigned protocolCode, const KoApplicationSettings& settings,
                    const std::function<void(KoPersistentAppStorage& store)>& prepareStore = {});
