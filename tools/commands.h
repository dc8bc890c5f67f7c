// The program's subcommands, each a function of the parsed command line that returns
// the exit status (tools/cli.h).
#pragma once

#include "tools/cli.h"

namespace tool {

// varnoobex [OPTIONS]: the default session (tools/default_run.cpp).
int RunDefault(const Options &options);
// varnoobex run FILE: a scenario file (tools/scenario/).
int RunScenario(const Options &options);
// varnoobex pty: a phone behind a pseudo-terminal (tools/pty.cpp).
int RunPty(const Options &options);
// varnoobex chaos, varnoobex endure: the reliability runs (tools/chaos.cpp).
int RunChaos(const Options &options);
int RunEndure(const Options &options);
// varnoobex image PATH: a driver image checked and shown (tools/image.cpp).
int RunImage(const Options &options);
// varnoobex bench: the data-path benchmarks and their table (tools/bench.cpp).
int RunBench(const Options &options);

}  // namespace tool
