// The power manager: the power and power-device threads that send system and device
// power requests, the driver's Po routines (PoRequestPowerIrp, PoStartNextPowerIrp,
// PoCallDriver, PoSetPowerState) and the PoStartNextPowerIrp rule, fed by the I/O
// manager's hooks. The Po routines run at PASSIVE_LEVEL or DISPATCH_LEVEL on any thread.
#include "sim/po/po.h"

#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "sim/ke/sched.h"
#include "sim/lowres.h"
#include "sim/verifier.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::po {

namespace {

constexpr NTSTATUS kInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0L);
// A power request that a driver keeps longer than this (in real time) is reported and
// given up, so that a faulty driver fails its test instead of hanging it.
constexpr auto kRequestTimeout = std::chrono::seconds(10);

struct DeviceRecord {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
};

// What the PoStartNextPowerIrp rule knows of one power IRP in flight.
struct Flight {
    std::map<PDEVICE_OBJECT, int> calls;         // PoStartNextPowerIrp per driver's device
    PDEVICE_OBJECT holder = nullptr;             // the device that has the IRP now
    int holderLocation = 0;
    std::map<int, PDEVICE_OBJECT> routineOwners; // location -> device whose routine is there
};

// One thread running jobs in order at PASSIVE_LEVEL. Started at first use and kept for
// the life of the process: it holds no state of a platform generation between jobs. In
// a scheduled run it joins the run that hands it a job.
class Worker {
public:
    explicit Worker(const char *name) : name_(name), recruit_(name) {}
    void Post(std::function<void()> job)
    {
        recruit_.Claim();
        std::lock_guard<std::mutex> guard(lock_);
        if (!started_) {
            started_ = true;
            std::thread([this] { Run(); }).detach();
        }
        jobs_.push_back(std::move(job));
        changed_.notify_all();
    }
    bool OnThisThread() const { return std::this_thread::get_id() == id_; }

private:
    void Run()
    {
        id_ = std::this_thread::get_id();
        sim::ke::NameThread(name_);
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> held(lock_);
                sim::ke::sched::Wait(held, changed_, [this] { return !jobs_.empty(); }, "a power job");
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            recruit_.Enter();
            sim::ke::ResetThread();
            job();
        }
    }

    const char *name_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool started_ = false;
    std::atomic<std::thread::id> id_{};
    sim::ke::sched::Recruit recruit_;
};

struct State {
    std::mutex mutex;   // everything below; never held while driver code runs
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::map<PIRP, int> startNext;
    std::map<PIRP, Flight> flights;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    POWER_ACTION sleptWith = PowerActionNone;    // the action of the transition out of S0
    POWER_ACTION inFlight = PowerActionNone;     // the action of the system request out now
    std::vector<SystemRequest> systemHistory;
    std::vector<DeviceRequest> deviceHistory;
    std::optional<NTSTATUS> failNext;
    long outstanding = 0;                        // device requests not yet called back
    std::condition_variable idle;

    Worker power{"power"};
    Worker device{"power device"};
};

State &S()
{
    // Never destroyed: its threads are detached and may outlive static destruction.
    static State *state = new State;
    return *state;
}

void RequirePassiveCaller(const char *routine)
{
    if (S().power.OnThisThread() || S().device.OnThisThread()) {
        Report(Rule::InvalidParameter, "%s called on a power thread, which it would wait for", routine);
    }
    if (sim::ke::CurrentIrql() != PASSIVE_LEVEL) {
        Report(Rule::BlockingAtDispatch, "%s above PASSIVE_LEVEL", routine);
    }
}

// Runs `job` on the power thread and returns its result.
NTSTATUS OnPowerThread(std::function<NTSTATUS()> job)
{
    struct Result {
        std::mutex lock;
        std::condition_variable changed;
        std::optional<NTSTATUS> status;
    };
    auto result = std::make_shared<Result>();
    S().power.Post([job = std::move(job), result] {
        const NTSTATUS status = job();
        std::lock_guard<std::mutex> guard(result->lock);
        result->status = status;
        result->changed.notify_all();
    });
    std::unique_lock<std::mutex> held(result->lock);
    sim::ke::sched::Wait(held, result->changed, [&] { return result->status.has_value(); },
                         "its job on the power thread");
    return *result->status;
}

// Power thread: one system request to the top of pdo's stack, waited for.
NTSTATUS SendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    struct Wait {
        std::mutex lock;
        std::condition_variable changed;
        std::optional<NTSTATUS> status;
    };
    auto wait = std::make_shared<Wait>();
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        S().inFlight = action;
    }
    sim::io::Request request;
    request.major = IRP_MJ_POWER;
    request.minor = minor;
    request.hasInitialStatus = true;
    request.initialStatus = STATUS_NOT_SUPPORTED;
    request.parameters = [state, action](IO_STACK_LOCATION &sp) {
        sp.Parameters.Power.SystemContext = 0;
        sp.Parameters.Power.Type = SystemPowerState;
        sp.Parameters.Power.State.SystemState = state;
        sp.Parameters.Power.ShutdownType = action;
    };
    sim::io::Send(pdo, request, [wait](const IO_STATUS_BLOCK &status) {
        std::lock_guard<std::mutex> guard(wait->lock);
        wait->status = status.Status;
        wait->changed.notify_all();
    });
    NTSTATUS status;
    {
        std::unique_lock<std::mutex> held(wait->lock);
        if (!sim::ke::sched::WaitFor(held, wait->changed, kRequestTimeout,
                                     [&] { return wait->status.has_value(); },
                                     "a system power request to complete")) {
            held.unlock();
            Report(Rule::InvalidParameter,
                   "system power request (minor 0x%x, S%d) to the stack of %p not completed in %llds",
                   minor, state - 1, (void *)pdo, (long long)kRequestTimeout.count());
            status = STATUS_TIMEOUT;
        } else {
            status = *wait->status;
        }
    }
    std::lock_guard<std::mutex> guard(S().mutex);
    S().inFlight = PowerActionNone;
    S().systemHistory.push_back(SystemRequest{pdo, minor, state, action, status});
    return status;
}

}  // namespace

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

NTSTATUS SetSystemPower(const std::vector<PDEVICE_OBJECT> &pdos, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    RequirePassiveCaller("sim::po::SetSystemPower");
    if (state <= PowerSystemUnspecified || state >= PowerSystemMaximum) {
        Report(Rule::InvalidParameter, "sim::po::SetSystemPower: system state %d", (int)state);
        return STATUS_INVALID_PARAMETER;
    }
    if (action == PowerActionNone) {
        action = ActionFor(state);
    }
    return OnPowerThread([pdos, state, action]() -> NTSTATUS {
        if (state == PowerSystemWorking) {
            POWER_ACTION wake;
            {
                std::lock_guard<std::mutex> guard(S().mutex);
                wake = S().sleptWith;
            }
            NTSTATUS result = STATUS_SUCCESS;
            for (PDEVICE_OBJECT pdo : pdos) {
                const NTSTATUS status = SendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking, wake);
                if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
                    result = status;
                }
            }
            std::lock_guard<std::mutex> guard(S().mutex);
            S().system = PowerSystemWorking;
            S().sleptWith = PowerActionNone;
            return result;
        }
        for (size_t i = 0; i < pdos.size(); i++) {
            const NTSTATUS refused = SendSystem(pdos[i], IRP_MN_QUERY_POWER, state, action);
            if (!NT_SUCCESS(refused)) {
                // The transition is off: every stack that was asked hears that the
                // system stays where it was.
                for (size_t k = 0; k <= i; k++) {
                    SendSystem(pdos[k], IRP_MN_SET_POWER, PowerSystemWorking, action);
                }
                return refused;
            }
        }
        {
            std::lock_guard<std::mutex> guard(S().mutex);
            S().system = state;
            S().sleptWith = action;
        }
        NTSTATUS result = STATUS_SUCCESS;
        for (PDEVICE_OBJECT pdo : pdos) {
            const NTSTATUS status = SendSystem(pdo, IRP_MN_SET_POWER, state, action);
            if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
                result = status;
            }
        }
        return result;
    });
}

NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    RequirePassiveCaller("sim::po::SendSystemRequest");
    if (action == PowerActionNone) {
        action = ActionFor(state);
    }
    return OnPowerThread([=] { return SendSystem(pdo, minor, state, action); });
}

SYSTEM_POWER_STATE CurrentSystemState()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().system;
}

std::vector<SystemRequest> SystemHistory()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().systemHistory;
}

void FailNextRequest(NTSTATUS status)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().failNext = status;
}

std::vector<DeviceRequest> DeviceHistory()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().deviceHistory;
}

void WaitIdle()
{
    RequirePassiveCaller("sim::po::WaitIdle");
    std::unique_lock<std::mutex> held(S().mutex);
    if (!sim::ke::sched::WaitFor(held, S().idle, kRequestTimeout, [] { return S().outstanding == 0; },
                                 "the device power requests to complete")) {
        const long left = S().outstanding;
        held.unlock();
        Report(Rule::InvalidParameter, "sim::po::WaitIdle: %ld device power request(s) not completed", left);
    }
}

DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().devices.find(device);
    return it == S().devices.end() ? PowerDeviceUnspecified : it->second.device;
}

SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().devices.find(device);
    return it == S().devices.end() ? PowerSystemUnspecified : it->second.system;
}

int StartNextPowerIrpCalls(PIRP irp)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().startNext.find(irp);
    return it == S().startNext.end() ? 0 : it->second;
}

void ForgetIrp(PIRP irp)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().startNext.erase(irp);
    S().flights.erase(irp);
}

void ForgetDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().devices.erase(device);
}

void Reset()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().devices.clear();
    S().startNext.clear();
    S().flights.clear();
    S().system = PowerSystemWorking;
    S().sleptWith = PowerActionNone;
    S().inFlight = PowerActionNone;
    S().systemHistory.clear();
    S().deviceHistory.clear();
    S().failNext.reset();
    S().outstanding = 0;
}

// ---- the PoStartNextPowerIrp rule
// Each driver that a power IRP reaches must call PoStartNextPowerIrp while the IRP is
// at its own stack location, before the IRP leaves its hands: before passing it on
// (or, when it passes it on with a completion routine, in that routine), before
// completing it, before letting its completion go on. The calls are counted by the
// device at the current location when the call is made, which in a completion routine
// is the device of the driver that set it.

void OnCallDriver(PIRP irp, PDEVICE_OBJECT target, int location)
{
    PDEVICE_OBJECT missing = nullptr;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        Flight &flight = S().flights[irp];
        PDEVICE_OBJECT sender = flight.holder;
        if (sender != nullptr && flight.calls[sender] == 0) {
            // A sender that set a completion routine (in the location below its own) may
            // still call in that routine; one that skipped its location or set none has
            // let the IRP go.
            if (location < flight.holderLocation &&
                IoGetCurrentIrpStackLocation(irp)->CompletionRoutine != nullptr) {
                flight.routineOwners[location] = sender;
            } else {
                missing = sender;
            }
        }
        flight.holder = target;
        flight.holderLocation = location;
    }
    if (missing != nullptr) {
        Report(Rule::PowerIrpWithoutStartNext,
               "power IRP %p passed from %p to %p without PoStartNextPowerIrp", (void *)irp,
               (void *)missing, (void *)target);
    }
}

void OnComplete(PIRP irp)
{
    PDEVICE_OBJECT missing = nullptr;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        auto it = S().flights.find(irp);
        if (it != S().flights.end() && it->second.holder != nullptr &&
            it->second.calls[it->second.holder] == 0) {
            missing = it->second.holder;
        }
    }
    if (missing != nullptr) {
        Report(Rule::PowerIrpWithoutStartNext, "power IRP %p completed by %p without PoStartNextPowerIrp",
               (void *)irp, (void *)missing);
    }
}

void OnLocationCompleted(PIRP irp, int location, bool last, bool kept, PDEVICE_OBJECT upper)
{
    PDEVICE_OBJECT missing = nullptr;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        auto it = S().flights.find(irp);
        if (it == S().flights.end()) {
            return;
        }
        Flight &flight = it->second;
        auto owner = flight.routineOwners.find(location);
        if (owner != flight.routineOwners.end()) {
            if (!kept && flight.calls[owner->second] == 0) {
                missing = owner->second;
            }
            flight.routineOwners.erase(owner);
        }
        if (last) {
            // Back with whoever built it: a later IRP at this address starts clean.
            S().flights.erase(it);
        } else if (kept) {
            flight.holder = upper;
            flight.holderLocation = location + 1;
        }
    }
    if (missing != nullptr) {
        Report(Rule::PowerIrpWithoutStartNext,
               "power IRP %p let complete by the completion routine of %p without PoStartNextPowerIrp",
               (void *)irp, (void *)missing);
    }
}

}  // namespace sim::po

namespace {

bool IsPowerIrpAt(PIO_STACK_LOCATION location)
{
    return location != nullptr && location->MajorFunction == IRP_MJ_POWER;
}

}  // namespace

extern "C" {

// Records the device's new state of the given type.
// Return: the state of that type recorded before (Unspecified the first time).
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) noexcept
{
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceUnspecified;
    if (DeviceObject == nullptr) {
        Report(Rule::InvalidParameter, "PoSetPowerState: DeviceObject is NULL");
        return previous;
    }
    auto &s = sim::po::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    sim::po::DeviceRecord &record = s.devices[DeviceObject];
    if (Type == DevicePowerState) {
        previous.DeviceState = record.device;
        record.device = State.DeviceState;
    } else {
        previous.SystemState = record.system;
        record.system = State.SystemState;
    }
    return previous;
}

// Counts the call against the IRP and the device at its current stack location (the
// calling driver's); the IRP must be a power IRP at that location.
VOID PoStartNextPowerIrp(PIRP Irp) noexcept
{
    if (Irp == nullptr || Irp->CurrentLocation > Irp->StackCount ||
        !IsPowerIrpAt(IoGetCurrentIrpStackLocation(Irp))) {
        Report(Rule::InvalidParameter, "PoStartNextPowerIrp: IRP %p is not a power IRP at a driver's location",
               static_cast<void *>(Irp));
        return;
    }
    std::lock_guard<std::mutex> lock(sim::po::S().mutex);
    sim::po::S().startNext[Irp]++;
    sim::po::S().flights[Irp].calls[IoGetCurrentIrpStackLocation(Irp)->DeviceObject]++;
}

// Passes a power IRP to the next driver: IoCallDriver, after checking that the next
// stack location is set up as a power request.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) noexcept
{
    if (Irp != nullptr && !IsPowerIrpAt(IoGetNextIrpStackLocation(Irp))) {
        Report(Rule::InvalidParameter, "PoCallDriver: IRP %p's next stack location is not IRP_MJ_POWER",
               static_cast<void *>(Irp));
    }
    return IofCallDriver(DeviceObject, Irp);
}

// Allocates a device power IRP and queues it for the power device thread, which sends
// it to the top of the stack DeviceObject is in; CompletionFunction is called in the
// context that completes it, at PASSIVE_LEVEL or DISPATCH_LEVEL, maybe before this
// returns. *Irp (only meaningful for wait-wake, which is not modelled) is set to NULL.
// Return: STATUS_PENDING once queued; STATUS_INSUFFICIENT_RESOURCES (or the status
// armed with sim::po::FailNextRequest) when the IRP cannot be allocated, and
// STATUS_INVALID_PARAMETER_2 for a minor other than set and query, with no call back.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) noexcept
{
    using namespace sim::po;
    if (Irp != nullptr) {
        *Irp = nullptr;
    }
    if (DeviceObject == nullptr) {
        Report(Rule::InvalidParameter, "PoRequestPowerIrp: DeviceObject is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
        return kInvalidParameter2;
    }
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        if (S().failNext) {
            const NTSTATUS status = *S().failNext;
            S().failNext.reset();
            return status;
        }
        action = S().inFlight;
    }
    if (sim::lowres::ShouldFail("PoRequestPowerIrp")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().outstanding++;
    }
    S().device.Post([=] {
        sim::io::Request request;
        request.major = IRP_MJ_POWER;
        request.minor = MinorFunction;
        request.hasInitialStatus = true;
        request.initialStatus = STATUS_NOT_SUPPORTED;
        request.parameters = [=](IO_STACK_LOCATION &sp) {
            sp.Parameters.Power.SystemContext = 0;
            sp.Parameters.Power.Type = DevicePowerState;
            sp.Parameters.Power.State = PowerState;
            sp.Parameters.Power.ShutdownType = action;
        };
        // The request is over for WaitIdle once its completion function has returned and
        // Send has let go of the device (it dereferences the target after the call, maybe
        // after the completion), whichever comes last.
        auto parts = std::make_shared<std::atomic<int>>(2);
        auto partDone = [parts] {
            if (--*parts == 0) {
                std::lock_guard<std::mutex> lock(S().mutex);
                S().outstanding--;
                S().idle.notify_all();
            }
        };
        sim::io::Send(DeviceObject, request, [=](const IO_STATUS_BLOCK &status) {
            if (CompletionFunction != nullptr) {
                IO_STATUS_BLOCK copy = status;
                sim::ke::DriverCall call("power completion function");
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &copy);
            }
            {
                std::lock_guard<std::mutex> lock(S().mutex);
                S().deviceHistory.push_back(
                    DeviceRequest{DeviceObject, MinorFunction, PowerState.DeviceState, status.Status});
            }
            partDone();
        });
        partDone();
    });
    return STATUS_PENDING;
}

}  // extern "C"
