#include "platform/thread_slot.h"

#include <pthread.h>

#include <system_error>

namespace platform {

namespace {

void destroy(void* value) { std::unique_ptr<ThreadOwned>{static_cast<ThreadOwned*>(value)}; }

}  // namespace

ThreadSlot::ThreadSlot() {
    pthread_key_t key{};
    if (const int error = ::pthread_key_create(&key, destroy); error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_key_create");
    index_ = key;
}

void ThreadSlot::keep(std::unique_ptr<ThreadOwned> value) const {
    if (const int error = ::pthread_setspecific(static_cast<pthread_key_t>(index_), value.get()); error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_setspecific");
    value.release();
}

}  // namespace platform
