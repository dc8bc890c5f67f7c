// The scenario parser fed arbitrary text: every line either parses or is reported
// with its line and column; nothing runs.
#include "tools/scenario/scenario.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    tool::scenario::Script script;
    const auto errors = tool::scenario::Parse(text, "/nonexistent", &script);
    for (const auto &e : errors) {
        if (e.line < 1 || e.column < 1 || e.message.empty()) {
            std::abort();
        }
    }
    return 0;
}
