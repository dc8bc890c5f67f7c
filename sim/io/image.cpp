// Restores the driver's mutable globals at each load (see image.h).
#include "sim/io/image.h"

#include <cstring>
#include <mutex>
#include <vector>

// The linker provides these for a section whose name is a C identifier. Weak, so that
// a program without the driver links too.
extern "C" char __start_varnoobex_globals[] __attribute__((weak));
extern "C" char __stop_varnoobex_globals[] __attribute__((weak));

namespace sim::io {

namespace {

// The section's content before the first load: taken once, on the first call, which
// comes before any DriverEntry has run.
const std::vector<char> &Initial()
{
    static const std::vector<char> initial(__start_varnoobex_globals, __stop_varnoobex_globals);
    return initial;
}

}  // namespace

size_t DriverImageGlobalsSize()
{
    if (__start_varnoobex_globals == nullptr) {
        return 0;
    }
    return static_cast<size_t>(__stop_varnoobex_globals - __start_varnoobex_globals);
}

void RestoreDriverImage()
{
    const std::vector<char> &initial = Initial();
    if (!initial.empty()) {
        std::memcpy(__start_varnoobex_globals, initial.data(), initial.size());
    }
}

}  // namespace sim::io
