// Foundation: the one place where the library's diagnostic lines go (a
// failed bind, a program that could not start, a file that could not be
// read). By default they are written to standard error; a host or a test may
// set a sink of its own. The access log is not a diagnostic: it has its own
// writer.
//
// Threads: any thread may write a line or set the sink. A sink is called
// outside every lock of this file, so it may itself write diagnostics; it
// must not throw.
#pragma once

#include <functional>
#include <string>
#include <string_view>

using KoDiagnosticSink = std::function<void(std::string_view line)>;

// Sends one line (without its line break) to the sink. Text that a client
// sent goes through escapeForLog first, so that it cannot forge lines or
// drive a terminal.
void diagnostic(std::string_view line);

// Replaces the sink; an empty one restores standard error. Returns the sink
// it replaced (empty for standard error).
KoDiagnosticSink setDiagnosticSink(KoDiagnosticSink sink);
