// The driver's image as the host loader sees it. The driver is linked into the
// process, not mapped per load, so the loader gives each load a fresh image by
// restoring the driver's mutable globals (the "varnoobex_globals" section, see
// DRIVER_GLOBAL in kernel/kernel.h) to the content they had at process start.
#pragma once

#include <cstddef>

namespace sim::io {

// Restores the driver's globals to their initial content. Called by LoadDriver before
// DriverEntry; nothing of the driver may be running.
void RestoreDriverImage();
// Size of the driver's globals section (0 when no driver is linked in).
size_t DriverImageGlobalsSize();

}  // namespace sim::io
