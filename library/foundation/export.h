// Foundation: the one export macro.
// Everything in the shared library is hidden unless marked VELKO_API: the
// three server functions and the exception types a host must be able to catch.
#pragma once

#define VELKO_API __attribute__((visibility("default")))
