// varnoobex run FILE: runs a scenario file.
#include <cstdio>

#include "tools/commands.h"

namespace tool {

int RunScenario(const Options &) {
    std::fprintf(stderr, "varnoobex: run: not yet\n");
    return 1;
}

}  // namespace tool
