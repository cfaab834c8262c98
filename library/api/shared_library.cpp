// The shared library's own translation unit: its contents are the internal
// library's objects, linked whole; CMake needs one source to build it from.
