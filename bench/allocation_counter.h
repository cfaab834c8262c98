// The number of global operator new calls the process has made so far.
#pragma once

unsigned long long AllocationsSoFar();
