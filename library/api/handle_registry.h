// Embedding interface: the registry of live server handles. The exported
// functions take an untyped pointer from the host; only a pointer that
// StartHTTPServer handed out and StopHTTPserver has not yet taken back is
// ever turned into a ServerHandle, so a stale or foreign pointer is refused
// without its memory being touched.
//
// Threads: any; one lock guards the registry, and withLiveHandle holds it
// while its action runs, so a handle cannot be destroyed under a reader.
// The action must not call back into the registry. Failures: none.
// A host that stops a handle and later gets a new one at the same address
// holds a live handle again: the registry cannot tell the two apart.
#pragma once

#include <functional>
#include <memory>

struct ServerHandle;

// Makes handle live and returns its untyped pointer.
void* KoRegisterHandle(std::unique_ptr<ServerHandle> handle);

// Takes a live handle out of the registry (its owner now destroys it);
// null for a pointer that is not live.
std::unique_ptr<ServerHandle> KoUnregisterHandle(void* pointer);

// Runs action on the live handle that pointer names, under the registry's
// lock; false, without running it, when pointer is not live.
bool KoWithLiveHandle(void* pointer, const std::function<void(ServerHandle& handle)>& action);
