#include "platform/thread_slot.h"

#include <system_error>

#include "platform/win32/windows_headers.h"

namespace platform {

namespace {

// Called by the system as each thread ends, after its body and its
// thread_local storage are gone.
void NTAPI destroy(void* value) { std::unique_ptr<ThreadOwned>{static_cast<ThreadOwned*>(value)}; }

}  // namespace

ThreadSlot::ThreadSlot() {
    const DWORD index = ::FlsAlloc(destroy);
    if (index == FLS_OUT_OF_INDEXES)
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "FlsAlloc");
    index_ = index;
}

void ThreadSlot::keep(std::unique_ptr<ThreadOwned> value) const {
    if (!::FlsSetValue(static_cast<DWORD>(index_), value.get()))
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "FlsSetValue");
    value.release();
}

}  // namespace platform
