// What the host's Win32 layer offers beyond the Windows API, for tests and tools.
#pragma once

#include "sim/win32/windows.h"

#include <cstddef>
#include <string>

namespace sim::win32 {

// The kernel name CreateFileW opens for an application's path ("\\.\COM5" ->
// "\??\COM5", "\\?\GLOBALROOT\Device\X" -> "\Device\X"), or empty for a path that
// names no device.
std::u16string KernelName(const std::u16string &path);

// Handles (files and events) not yet closed, in all threads.
size_t OpenHandles();

// The file object behind a file handle, or NULL.
PFILE_OBJECT FileObjectOf(HANDLE handle);

}  // namespace sim::win32
