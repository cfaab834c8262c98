// The number of global operator new calls the process has made so far.
#pragma once

unsigned long long AllocationsSoFar();
// Bytes of the heap in use now (every malloc of the process, whoever made it).
unsigned long long HeapBytesInUse();
