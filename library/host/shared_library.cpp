// libvelkotwo's own translation unit: its contents are the internal
// library's objects, linked whole; CMake needs one source to build it from.
#include "velkotwo/page.h"
#include "velkotwo/server.h"
