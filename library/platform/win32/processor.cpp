#include "platform/processor.h"

#include <bitset>

#include "platform/win32/windows_headers.h"

namespace platform {

std::size_t usableProcessors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0)
        return std::bitset<sizeof(DWORD_PTR) * 8>(process).count();
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

}  // namespace platform
