// The kernel routines the platform provides to a driver image, by module and name, as
// ntoskrnl.exe, HAL.dll and USBD.SYS export them on x64 Windows. The loader binds an
// image's imports against this table alone; an import it lacks refuses the load.
//
// Which module exports which routine follows the cross toolchain's import libraries
// (libntoskrnl.a, libhal.a, libusbd.a), which list the x64 exports; the routines that
// x64 Windows makes inline (KeInitializeSpinLock, IoMarkIrpPending,
// ExInitializeFastMutex, KeQueryInterruptTime, ...) are not exports and are not here,
// though the host declarations give them as calls.
#include "sim/io/loader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sim::io {
namespace {

// The C runtime routines ntoskrnl.exe exports, in the Microsoft convention the image
// calls them with.
void *NTAPI KernelMemcpy(void *to, const void *from, size_t n) noexcept
{
    return std::memcpy(to, from, n);
}
void *NTAPI KernelMemmove(void *to, const void *from, size_t n) noexcept
{
    return std::memmove(to, from, n);
}
void *NTAPI KernelMemset(void *to, int value, size_t n) noexcept
{
    return std::memset(to, value, n);
}
int NTAPI KernelMemcmp(const void *a, const void *b, size_t n) noexcept
{
    return std::memcmp(a, b, n);
}

using Swprintf = int(NTAPI *)(PWCHAR, PCWSTR, ...) noexcept;

#define NT(name) {"ntoskrnl.exe", #name, reinterpret_cast<const void *>(&name)}
#define HAL(name) {"HAL.dll", #name, reinterpret_cast<const void *>(&name)}
#define USBD(name) {"USBD.SYS", #name, reinterpret_cast<const void *>(&name)}

const KernelRoutine kRoutines[] = {
    // Ke
    NT(KeGetCurrentIrql), NT(KeLowerIrql), NT(KeRaiseIrqlToDpcLevel), NT(KeAcquireSpinLockRaiseToDpc),
    NT(KeReleaseSpinLock), NT(KeAcquireSpinLockAtDpcLevel), NT(KeReleaseSpinLockFromDpcLevel),
    NT(KeInitializeEvent), NT(KeSetEvent), NT(KeResetEvent), NT(KeClearEvent), NT(KeReadStateEvent),
    NT(KeWaitForSingleObject), NT(KeDelayExecutionThread), NT(KeInitializeTimer), NT(KeInitializeTimerEx),
    NT(KeSetTimer), NT(KeSetTimerEx), NT(KeCancelTimer), NT(KeReadStateTimer), NT(KeInitializeDpc),
    NT(KeInsertQueueDpc), NT(KeRemoveQueueDpc), NT(KeFlushQueuedDpcs), HAL(KeStallExecutionProcessor),
    // Ex
    NT(ExAllocatePool), NT(ExAllocatePoolWithTag), NT(ExFreePool), NT(ExFreePoolWithTag),
    NT(ExAcquireFastMutex), NT(ExReleaseFastMutex), NT(ExTryToAcquireFastMutex), NT(ExQueueWorkItem),
    // Io, Ob
    NT(IoIsWdmVersionAvailable), NT(IoCreateDevice), NT(IoDeleteDevice), NT(IoAttachDeviceToDeviceStack),
    NT(IoDetachDevice), NT(IoGetAttachedDeviceReference), NT(ObfDereferenceObject), NT(ObfReferenceObject),
    NT(IoAllocateIrp), NT(IoFreeIrp), NT(IoReuseIrp), NT(IoInitializeIrp), NT(IofCallDriver),
    NT(IofCompleteRequest), NT(IoAcquireCancelSpinLock), NT(IoReleaseCancelSpinLock), NT(IoCancelIrp),
    NT(IoInitializeRemoveLockEx), NT(IoAcquireRemoveLockEx), NT(IoReleaseRemoveLockEx),
    NT(IoReleaseRemoveLockAndWaitEx), NT(IoRegisterDeviceInterface), NT(IoSetDeviceInterfaceState),
    NT(IoOpenDeviceRegistryKey), NT(IoCreateSymbolicLink), NT(IoCreateUnprotectedSymbolicLink),
    NT(IoDeleteSymbolicLink),
    // Po
    NT(PoCallDriver), NT(PoStartNextPowerIrp), NT(PoRequestPowerIrp), NT(PoSetPowerState),
    // Rtl, Zw, the debugger
    NT(RtlInitUnicodeString), NT(RtlCopyUnicodeString), NT(RtlAppendUnicodeToString),
    NT(RtlAppendUnicodeStringToString), NT(RtlIntegerToUnicodeString), NT(RtlFreeUnicodeString),
    NT(RtlCompareUnicodeString), NT(RtlEqualUnicodeString), NT(RtlCompareMemory), NT(RtlWriteRegistryValue),
    NT(RtlDeleteRegistryValue), NT(ZwQueryValueKey), NT(ZwClose), NT(ZwOpenSymbolicLinkObject),
    NT(ZwQuerySymbolicLinkObject), NT(DbgPrint),
    {"ntoskrnl.exe", "swprintf", reinterpret_cast<const void *>(static_cast<Swprintf>(&swprintf))},
    // The C runtime part of ntoskrnl.exe
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void *>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void *>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void *>(&KernelMemset)},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<const void *>(&KernelMemcmp)},
    // USBD.SYS
    USBD(USBD_ParseConfigurationDescriptorEx), USBD(USBD_ParseDescriptors),
    USBD(USBD_CreateConfigurationRequestEx),
};

#undef NT
#undef HAL
#undef USBD

bool SameModule(const std::string &a, const char *b)
{
    const size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const void *FindKernelRoutine(const std::string &module, const std::string &routine, bool *knownModule)
{
    *knownModule = false;
    for (const KernelRoutine &r : kRoutines) {
        if (SameModule(module, r.module)) {
            *knownModule = true;
            if (routine == r.name) {
                return r.address;
            }
        }
    }
    return nullptr;
}

const KernelRoutine *KernelRoutines(size_t *count)
{
    *count = std::size(kRoutines);
    return kRoutines;
}

}  // namespace sim::io
