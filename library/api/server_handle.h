// Embedding interface: ServerHandle, what the exported functions hand out as
// an untyped pointer: the persistent store first (its address is the
// handle's), then the owning pointer to the application, then the host's
// options as given. Internal; the host never sees the type.
// Threads: the host's thread. Failures: the store's constructor.
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

// StartHTTPServer with a protocol code and settings of one's choosing (the
// exported function serves HTTPS with the defaults); for hosts and tests
// inside the library. prepareStore, when given, sees the store once the
// application entry is selected, before the server starts.
void* KoStartServer(const char* address, int port, const char* startpath, const char* cgibinpath, const char* cacert,
                    const char* privkey, unsigned protocolCode, const KoApplicationSettings& settings,
                    const std::function<void(KoPersistentAppStorage& store)>& prepareStore = {});
