#include "platform/memory.h"

#include <malloc.h>

namespace platform {

// The C run-time's heap hands its free pages back to the system.
void returnFreeMemory() { ::_heapmin(); }

}  // namespace platform
