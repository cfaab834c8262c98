// Public: the one export macro of the library. Everything in the shared
// library is hidden unless marked VELKO_API: the three server functions and
// the exception types a host must be able to catch. For a host it marks
// nothing it has to care about.
#pragma once

#define VELKO_API __attribute__((visibility("default")))
