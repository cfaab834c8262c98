// The number of global operator new calls the process has made so far, and
// of malloc, calloc and realloc calls (operator new's included).
#pragma once

unsigned long long AllocationsSoFar();
unsigned long long MallocsSoFar();
// Bytes of the heap in use now (every malloc of the process, whoever made it).
unsigned long long HeapBytesInUse();
