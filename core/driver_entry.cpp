// Driver entry and unload: checks the platform, fills the dispatch table and prints
// the load and unload banners on the kernel debugger.
// Context: PASSIVE_LEVEL, in the system thread that loads or unloads the driver.
#include "core/core.h"

namespace {

struct DISPATCH_ENTRY {
    UCHAR MajorFunction;
    PDRIVER_DISPATCH Handler;
};

// Every major function not listed keeps the I/O manager's default, which fails the
// request with STATUS_INVALID_DEVICE_REQUEST.
const DISPATCH_ENTRY DispatchTable[] = {
    {IRP_MJ_CREATE, DispatchCreate},                     // 0x00
    {IRP_MJ_CLOSE, DispatchClose},                       // 0x02
    {IRP_MJ_READ, DispatchRead},                         // 0x03
    {IRP_MJ_WRITE, DispatchWrite},                       // 0x04
    {IRP_MJ_FLUSH_BUFFERS, DispatchFlush},               // 0x09
    {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},      // 0x0E
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchPassDown},  // 0x0F
    {IRP_MJ_CLEANUP, DispatchCleanup},                   // 0x12
    {IRP_MJ_POWER, DispatchPower},                       // 0x16
    {IRP_MJ_SYSTEM_CONTROL, DispatchPassDown},           // 0x17
    {IRP_MJ_PNP, DispatchPnp},                           // 0x1B
};
static_assert(sizeof(DispatchTable) / sizeof(DispatchTable[0]) == 11, "eleven dispatch entries");

const char BannerRule[] =
    "*******************************************************************************";
static_assert(sizeof(BannerRule) == 80, "the banner rule is 79 asterisks");

VOID PrintBanner(PCSTR Format)
{
    DbgPrint("%s\n", BannerRule);
    DbgPrint(Format, VARNOOBEX_VERSION, __TIME__, __DATE__);
    DbgPrint("%s\n\n", BannerRule);
}

}  // namespace

/*
 * DriverEntry - the driver's load routine.
 * Context: PASSIVE_LEVEL.
 * Return: STATUS_SUCCESS, or STATUS_UNSUCCESSFUL without registering or printing
 * anything when the platform does not offer WDM 1.0.
 */
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    for (const DISPATCH_ENTRY &entry : DispatchTable) {
        DriverObject->MajorFunction[entry.MajorFunction] = entry.Handler;
    }

    PrintBanner("ROVIZOROV(%s)  Time: %s  Date: %s LOADED \n");
    return STATUS_SUCCESS;
}

/*
 * DriverUnload - announces the unload. By now the remove path has deleted every
 * device, and the driver holds nothing else.
 * Context: PASSIVE_LEVEL.
 */
VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    PrintBanner("ROVIZOROV(%s)  Time: %s  Date: %s UNLOADED \n");
}
