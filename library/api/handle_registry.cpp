#include "api/handle_registry.h"

#include <map>
#include <mutex>
#include <utility>

#include "api/server_handle.h"
#include "jobs/no_destructor.h"

namespace {

std::mutex registryLock;

using Handles = std::map<void*, std::unique_ptr<ServerHandle>>;

// Keyed by address; the values own the handles while they are live. Never
// destroyed: a server the host did not stop must not be torn down by a
// static destructor at exit, nor a late StopHTTPserver find no registry.
Handles& liveHandles() {
    static velko::NoDestructor<Handles> handles;
    return handles.get();
}

}  // namespace

void* KoRegisterHandle(std::unique_ptr<ServerHandle> handle) {
    void* pointer = handle.get();
    if (pointer == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(registryLock);
    liveHandles()[pointer] = std::move(handle);
    return pointer;
}

std::unique_ptr<ServerHandle> KoUnregisterHandle(void* pointer) {
    std::lock_guard<std::mutex> guard(registryLock);
    auto& handles = liveHandles();
    auto it = handles.find(pointer);
    if (it == handles.end()) return nullptr;
    std::unique_ptr<ServerHandle> handle = std::move(it->second);
    handles.erase(it);
    return handle;
}

bool KoWithLiveHandle(void* pointer, const std::function<void(ServerHandle& handle)>& action) {
    std::lock_guard<std::mutex> guard(registryLock);
    auto& handles = liveHandles();
    auto it = handles.find(pointer);
    if (it == handles.end()) return false;
    action(*it->second);
    return true;
}
