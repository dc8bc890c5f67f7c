// The host power manager as the rest of sim/ sees it: system power transitions sent as
// system power requests, device power requests made with PoRequestPowerIrp, the power
// state each device last reported with PoSetPowerState, and the record of
// PoStartNextPowerIrp calls that the verifier checks (PowerIrpWithoutStartNext). The
// driver sees PoSetPowerState, PoStartNextPowerIrp, PoCallDriver and PoRequestPowerIrp
// (kernel/host/wdm.h).
//
// Threads: two threads of the power manager, both at PASSIVE_LEVEL, since the bus
// marks its PDOs DO_POWER_PAGABLE:
//   "power"         sends the system power requests, one at a time;
//   "power device"  sends the device power requests that PoRequestPowerIrp queued, one
//                   at a time in the order they were asked for.
// Keeping them apart lets a driver hold a system request until the device request it
// asked for has completed, as power policy owners do. Each request is built by the I/O
// manager with IoStatus.Status = STATUS_NOT_SUPPORTED and sent to the top of the stack.
// The routines below are for tests and tools, from any thread at PASSIVE_LEVEL except
// the two power threads (a driver's own power path must not call them), and wait until
// their requests have completed. The records are thread-safe.
//
// Not modelled: IRP_MN_WAIT_WAKE and IRP_MN_POWER_SEQUENCE requests (PoRequestPowerIrp
// refuses other minors with STATUS_INVALID_PARAMETER_2), the order of a real device tree
// (requests go to the given stacks in the given order), DO_POWER_INRUSH stacks sent at
// DISPATCH_LEVEL, idle detection, SYSTEM_POWER_STATE_CONTEXT (SystemContext is 0), the
// one-power-IRP-at-a-time serialisation that PoStartNextPowerIrp releases on older
// systems (it is checked, not enforced).
#pragma once

#include "kernel/kernel.h"

#include <vector>

namespace sim::po {

// ---- system power
// The POWER_ACTION Windows puts in Parameters.Power.ShutdownType of a system request
// for `state`: Sleep for S1 to S3, Hibernate for S4, Shutdown for S5, None for S0.
POWER_ACTION ActionFor(SYSTEM_POWER_STATE state);

// One system power request as the power manager saw it end.
struct SystemRequest {
    PDEVICE_OBJECT pdo;           // the stack it was sent to (at its top)
    UCHAR minor;                  // IRP_MN_QUERY_POWER or IRP_MN_SET_POWER
    SYSTEM_POWER_STATE state;
    POWER_ACTION action;          // its ShutdownType
    NTSTATUS status;              // its final IoStatus.Status
};

// Moves the system to `state` over the device stacks of `pdos` (their PDOs), each
// request sent on the power thread to the top of the stack and waited for:
//   PowerSystemWorking: IRP_MN_SET_POWER S0 to each stack, its ShutdownType the action
//     of the transition that put the system to sleep (PowerActionNone if none did);
//   S1 to S5 (PowerSystemShutdown): IRP_MN_QUERY_POWER to each stack in turn, with
//     `action` (PowerActionNone: ActionFor(state)); the first refusal ends the queries
//     and is cancelled as Windows cancels it, with IRP_MN_SET_POWER for the working
//     state sent to every stack that was queried, the refusing one included; the
//     refusal's status is returned and the system stays in S0. Otherwise
//     IRP_MN_SET_POWER to each stack; the system is in `state` afterwards.
// Return: STATUS_SUCCESS, the refused query's status, or the first failed set's status
// (a set cannot be refused: the other stacks still get theirs).
NTSTATUS SetSystemPower(const std::vector<PDEVICE_OBJECT> &pdos, SYSTEM_POWER_STATE state,
                        POWER_ACTION action = PowerActionNone);
// One system request alone (a query never followed by a set, a set without its query),
// on the power thread to the top of `pdo`'s stack; the system state is not changed.
// Return: its final status.
NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                           POWER_ACTION action = PowerActionNone);
// The state the last SetSystemPower left the system in (PowerSystemWorking at start).
SYSTEM_POWER_STATE CurrentSystemState();
// Every system request sent since Reset, in order.
std::vector<SystemRequest> SystemHistory();

// ---- device power requests (PoRequestPowerIrp)
// One device power request as it completed.
struct DeviceRequest {
    PDEVICE_OBJECT device;        // the DeviceObject given to PoRequestPowerIrp
    UCHAR minor;
    DEVICE_POWER_STATE state;
    NTSTATUS status;              // its final IoStatus.Status
};
// PoRequestPowerIrp checks sim::lowres::ShouldFail("PoRequestPowerIrp") for its IRP
// allocation (failure: STATUS_INSUFFICIENT_RESOURCES, nothing sent, no call back).
// FailNextRequest makes the next call return `status` the same way.
void FailNextRequest(NTSTATUS status);
// Every device request completed since Reset, in the order they completed.
std::vector<DeviceRequest> DeviceHistory();
// Returns once every device request asked for so far has completed and its completion
// function has returned. Not from a power thread.
void WaitIdle();

// ---- records
// The state last set with PoSetPowerState; PowerDeviceUnspecified and
// PowerSystemUnspecified for a device that never reported one.
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device);

// How many times PoStartNextPowerIrp was called for `irp` while it was in flight (by
// any driver), since it was last forgotten.
int StartNextPowerIrpCalls(PIRP irp);
// Drops the records of an IRP (when it is freed or reused) or of a device (when it
// is deleted), so that a later object at the same address starts clean.
void ForgetIrp(PIRP irp);
void ForgetDevice(PDEVICE_OBJECT device);

// Clears every record and armed failure (platform start). No request may be in flight.
void Reset();

// ---- the I/O manager's hooks for the PoStartNextPowerIrp rule (sim/io only)
// A power IRP passed to `target`, which gets stack location `location`.
void OnCallDriver(PIRP irp, PDEVICE_OBJECT target, int location);
// IoCompleteRequest on a power IRP, before any location is unwound.
void OnComplete(PIRP irp);
// The completion of stack location `location` (`last`: the top one) has been handled:
// its completion routine, if one was invoked, returned; `kept` when it returned
// STATUS_MORE_PROCESSING_REQUIRED, which leaves the IRP with `upper` (the device of the
// location above). The IRP may be freed by then and is not read.
void OnLocationCompleted(PIRP irp, int location, bool last, bool kept, PDEVICE_OBJECT upper);

}  // namespace sim::po
