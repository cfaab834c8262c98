// Public: the one export macro of the library. Everything in the shared
// library is hidden unless marked VELKO_API: the three server functions and
// the exception types a host must be able to catch. For a host it marks
// nothing it has to care about.
#pragma once

#ifdef _WIN32
// A Windows DLL exports what its module-definition file lists; a host
// built with mingw-w64 imports functions and data without marks.
#define VELKO_API
#else
#define VELKO_API __attribute__((visibility("default")))
#endif
