// The request trace (`--trace`): one line for every request entering and leaving the
// driver, and for every request the driver sends to the bus and its return, written
// from the I/O manager's request hook (sim/io/trace.h). docs/trace.md tells how to
// read it. Also the names of the platform's codes, for the trace and for other output
// of the program.
#pragma once

#include "kernel/kernel.h"
#include "sim/io/trace.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace tool {

// Starts writing one line per request event of `driver` to `out` (not owned: stdout,
// stderr or a file that stays open until StopTrace). Lines never interleave: each is
// written with one call, and the hook delivers one event at a time. A second
// StartTrace replaces the first.
void StartTrace(PDRIVER_OBJECT driver, std::FILE *out);
// Stops the trace and flushes its output; when it returns no line is written any more.
void StopTrace();

// One line of the trace for `event`, without the newline; empty for an event the trace
// leaves out (a dispatch routine's return that says nothing the completion did not).
// `Tracer` keeps what that decision needs; StartTrace uses one per trace.
class Tracer {
public:
    std::string Line(const sim::io::RequestEvent &event);

private:
    // The requests whose dispatch routine is still running: (IRP use, device) and the
    // status the request left the driver with, if it already has.
    struct Key {
        uint64_t irpId;
        PDEVICE_OBJECT device;
        bool operator<(const Key &o) const
        {
            return irpId != o.irpId ? irpId < o.irpId : device < o.device;
        }
    };
    struct Left {
        bool left = false;
        NTSTATUS status = 0;
    };
    std::map<Key, Left> running_;
};

// Names as the Windows headers spell them, with a hex fallback for values they do not
// know: "IRP_MJ_(invalid)" for a major function beyond IRP_MJ_MAXIMUM_FUNCTION,
// "0x0e" for an unknown minor function, "0x0022C0FF" for an unknown control code or
// status. MinorName is empty for minor 0 of a major function without minor functions.
const char *MajorName(UCHAR major);
std::string MinorName(UCHAR major, UCHAR minor);
// A serial driver's internal control codes reuse the values of public ones: `internal`
// (IRP_MJ_INTERNAL_DEVICE_CONTROL) picks which name such a value has.
std::string IoctlName(ULONG code, bool internal = false);
std::string StatusName(NTSTATUS status);
std::string UrbFunctionName(USHORT function);
std::string UsbdStatusName(USBD_STATUS status);
// "S0".."S5", "D0".."D3"; "S?(9)" for a value outside the enumeration.
std::string PowerStateName(POWER_STATE_TYPE type, ULONG state);
// "PASSIVE", "APC", "DISPATCH", else "IRQL n".
std::string IrqlName(KIRQL irql);

}  // namespace tool
