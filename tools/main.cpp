// varnoobex: the driver on the host platform, for a person to run. See tools/cli.cpp
// for the subcommands and options, and the README for a sample of the output.
#include "tools/cli.h"
#include "tools/commands.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A peer that goes away (a TCP phone, a terminal program) must not kill the
    // program before it has cleaned up and checked what is left.
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto options = tool::ParseCommandLine(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "varnoobex: %s (see varnoobex --help)\n", error.c_str());
        return tool::kExitUsage;
    }
    if (options->help) {
        std::fputs(tool::Usage(options->command), stdout);
        return tool::kExitOk;
    }
    if (options->command == "run") {
        return tool::RunScenario(*options);
    }
    if (options->command == "pty") {
        return tool::RunPty(*options);
    }
    if (options->command == "chaos") {
        return tool::RunChaos(*options);
    }
    if (options->command == "endure") {
        return tool::RunEndure(*options);
    }
    if (options->command == "image") {
        return tool::RunImage(*options);
    }
    if (options->command == "bench") {
        return tool::RunBench(*options);
    }
    return tool::RunDefault(*options);
}
