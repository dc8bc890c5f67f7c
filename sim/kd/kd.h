// The host's kernel debugger output: what the driver prints with DbgPrint, captured
// so that tests can compare it byte for byte. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace sim::kd {

// One entry per DbgPrint call, exactly as that call printed it (newlines included,
// so a call that prints "x\n\n" is one entry ending in two newlines, and a line
// printed by two calls is two entries). A call longer than the 512 bytes the
// kernel passes to the debugger is cut there, as on Windows.
std::vector<std::string> Log();
// Everything printed since the last ClearLog(), concatenated.
std::string Text();
void ClearLog();

// Copies every DbgPrint to stderr as well (off by default; for the command-line tool).
void SetEcho(bool echo);

// Platform start: clears the log (the echo setting is kept).
void Reset();

}  // namespace sim::kd
