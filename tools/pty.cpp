// varnoobex pty: a phone's COM port behind a Linux pseudo-terminal.
#include <cstdio>

#include "tools/commands.h"

namespace tool {

int RunPty(const Options &) {
    std::fputs("pty: not yet\n", stderr);
    return 1;
}

}  // namespace tool
