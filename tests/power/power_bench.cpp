#include "tests/power/power_bench.h"

namespace powertest {

void PowerTest::SetUp()
{
    DeviceTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    Bus(pdo_).OnRequest([this](PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        Arrival a{};
        a.major = sp->MajorFunction;
        a.minor = sp->MinorFunction;
        a.stage = -1;
        a.recordedDevice = ext_->DevicePowerState;
        a.recordedSystem = ext_->SystemPowerState;
        if (a.major == IRP_MJ_POWER) {
            a.type = sp->Parameters.Power.Type;
            a.state = a.type == SystemPowerState ? (ULONG)sp->Parameters.Power.State.SystemState
                                                 : (ULONG)sp->Parameters.Power.State.DeviceState;
            Bus(pdo_).SetStatus(IRP_MJ_POWER, a.type == SystemPowerState ? systemAnswer_ : deviceAnswer_);
            if (sp->CompletionRoutine == PowerIrpComplete) {
                a.stage = static_cast<PPOWER_CONTEXT>(sp->Context)->Stage;
            }
        } else if (a.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            a.urbFunction = static_cast<PURB>(sp->Parameters.Others.Argument1)->UrbHeader.Function;
            // Pipe resets succeed. A bulk-in transfer is the restarted pump: it ends
            // cancelled with the port marked closed, so that the pump stops there.
            const bool transfer = a.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            if (transfer) {
                KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
                ext_->IsOpen = FALSE;
                KeReleaseSpinLock(&ext_->DataLock, irql);
            }
            Bus(pdo_).SetStatus(IRP_MJ_INTERNAL_DEVICE_CONTROL, transfer ? STATUS_CANCELLED : STATUS_SUCCESS);
        }
        if (onArrival_) {
            onArrival_(a);
        }
        std::lock_guard<std::mutex> hold(lock_);
        arrivals_.push_back(a);
    });
}

void PowerTest::OpenByHand()
{
    static UCHAR pipes[2];
    ext_->BulkInPipe = &pipes[0];
    ext_->BulkOutPipe = &pipes[1];
    KeInitializeEvent(&ext_->IoIdleEvent, SynchronizationEvent, FALSE);
    ext_->OutstandingIo = 1;
    ext_->IsOpen = TRUE;
}

std::shared_ptr<sim::io::Operation> PowerTest::SendPower(UCHAR minor, POWER_STATE_TYPE type, ULONG state)
{
    sim::io::Request request;
    request.major = IRP_MJ_POWER;
    request.minor = minor;
    request.parameters = [type, state](IO_STACK_LOCATION &sp) {
        sp.Parameters.Power.Type = type;
        if (type == SystemPowerState) {
            sp.Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)state;
        } else {
            sp.Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)state;
        }
    };
    return sim::io::Send(fdo_, request);
}

NTSTATUS PowerTest::Power(UCHAR minor, POWER_STATE_TYPE type, ULONG state)
{
    return SendPower(minor, type, state)->Wait().Status;
}

std::vector<Arrival> PowerTest::Arrivals()
{
    std::lock_guard<std::mutex> hold(lock_);
    return arrivals_;
}

std::vector<Arrival> PowerTest::PowerArrivals()
{
    std::vector<Arrival> power;
    for (const Arrival &a : Arrivals()) {
        if (a.major == IRP_MJ_POWER) {
            power.push_back(a);
        }
    }
    return power;
}

}  // namespace powertest
