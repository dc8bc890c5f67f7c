// The I/O manager's driver loading for a driver file: the shipped varnoobex.sys (or
// any PE32+ kernel image) mapped into this process and run as Windows runs it.
//
// Each load maps a fresh copy of the file at an address of the host's choosing,
// applies the image's base relocations, binds every import by module and routine
// name against the kernel routines the platform provides (kernel_exports.cpp), gives
// each section the protection its characteristics ask for, and calls the entry point
// as DriverEntry. The image and the platform call each other directly: both sides use
// the Microsoft x64 calling convention. Unloading unmaps the image once DriverUnload
// has returned.
//
// A fault while the image's code runs (an access violation, an illegal or privileged
// instruction, a stack overflow) stops the run as a bug check would, with the
// image-relative address and the routine it lies in (sim/ke/bugcheck.cpp).
#pragma once

#include "kernel/kernel.h"
#include "sim/io/pe.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sim::io {

// One mapped copy of a driver file.
struct LoadedImage;

// Reads and checks `path` and loads it as a driver (LoadDriver with its entry point).
// Return: STATUS_SUCCESS with *out the driver object; STATUS_OBJECT_NAME_NOT_FOUND
// when the file cannot be read; STATUS_INVALID_IMAGE_FORMAT for a file the kernel's
// loader would refuse (or STATUS_IMAGE_CHECKSUM_MISMATCH for a wrong checksum);
// STATUS_DLL_NOT_FOUND for an import from a module that is not a kernel module;
// STATUS_DRIVER_ENTRYPOINT_NOT_FOUND for a routine the platform does not provide
// (the first one, by module and name); else DriverEntry's failure. *error (when
// given) gets the one-sentence reason of a refusal.
NTSTATUS LoadDriverImage(const std::string &path, const std::u16string &serviceName, PDRIVER_OBJECT *out,
                         std::string *error = nullptr);

// True when `driver` was loaded from a file (its image is mapped).
bool IsImageDriver(PDRIVER_OBJECT driver);

// "varnoobex.sys+0x1a2b (DispatchRead+0x4b)" for an address inside a mapped image,
// empty otherwise. Safe to call from a signal handler (it takes no lock and does not
// allocate): `out` receives at most `size` bytes, NUL included; returns false when
// the address lies in no image.
bool DescribeImageAddress(uintptr_t address, char *out, size_t size);
std::string DescribeImageAddress(uintptr_t address);
// The innermost return address into a mapped image on this thread's stack (the image
// routine that called into the platform), found by walking the frame-pointer chain
// from the caller; described as above, or empty when this thread is not running on
// behalf of an image.
std::string ImageCaller();
// The address of a routine of a loaded image by its symbol name (for the tests of the
// loader); 0 when absent.
uintptr_t ImageSymbolAddress(PDRIVER_OBJECT driver, const std::string &name);

// The kernel routines the platform provides to images: the address of `routine` as
// `module` exports it (case-insensitive module name), or NULL. *knownModule is set
// to whether `module` is a kernel module the platform provides at all.
const void *FindKernelRoutine(const std::string &module, const std::string &routine, bool *knownModule);
// Every routine of the table, for the checks of the table itself.
struct KernelRoutine {
    const char *module;
    const char *name;
    const void *address;
};
const KernelRoutine *KernelRoutines(size_t *count);

}  // namespace sim::io
