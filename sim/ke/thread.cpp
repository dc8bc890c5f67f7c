// Execution contexts: each platform thread's IRQL and name, the IRQL routines the
// driver calls, and DriverCall, the check made when a driver callback returns.
//
// IRQL is per thread (there is no preemption to mask on the host); raising it only
// changes what the verifier allows the thread to do. Not modelled: interrupts and
// device IRQLs above DISPATCH_LEVEL, and APC delivery at PASSIVE_LEVEL.
#include "sim/ke/internal.h"

#include "sim/verifier.h"

#include <atomic>
#include <string>

namespace sim::ke {
namespace {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::string name;
    std::vector<detail::HeldLock> held;
};

ThreadState &Self()
{
    thread_local ThreadState state;
    if (state.name.empty()) {
        static std::atomic<int> next{1};
        state.name = "thread " + std::to_string(next++);
    }
    return state;
}

}  // namespace

namespace detail {

std::vector<HeldLock> &HeldLocks()
{
    return Self().held;
}

ULONG_PTR ThreadToken()
{
    return reinterpret_cast<ULONG_PTR>(&Self());
}

}  // namespace detail

KIRQL CurrentIrql()
{
    return Self().irql;
}

void SetIrql(KIRQL irql)
{
    Self().irql = irql;
}

void NameThread(const char *name)
{
    Self().name = name;
}

const char *ThreadName()
{
    return Self().name.c_str();
}

size_t SpinLocksHeld()
{
    size_t count = 0;
    for (const auto &held : Self().held) {
        if (held.kind == detail::LockKind::SpinLock) {
            count++;
        }
    }
    return count;
}

void ResetThread()
{
    Self().irql = PASSIVE_LEVEL;
    Self().held.clear();
}

namespace {
thread_local DriverCall *g_innermost = nullptr;
}  // namespace

DriverCall::DriverCall(const char *what, const void *request)
    : what_(what), request_(request), irql_(CurrentIrql()), locks_(Self().held.size()), outer_(g_innermost)
{
    g_innermost = this;
    if (detail::g_faultReports.load(std::memory_order_relaxed)) {
        detail::PrepareThreadForDriverCode();
    }
}

const DriverCall *DriverCall::Innermost()
{
    return g_innermost;
}

DriverCall::~DriverCall()
{
    g_innermost = outer_;
    ThreadState &self = Self();
    bool leftLocks = self.held.size() > locks_;
    // A lock left held would stall every later acquirer: report it, then release it
    // on the driver's behalf so that the test fails on the report instead of hanging.
    while (self.held.size() > locks_) {
        detail::HeldLock held = self.held.back();
        verifier::Report(verifier::Rule::SpinLockHeldOnReturn, "%s returned holding %s %s",
                         what_, held.kind == detail::LockKind::SpinLock ? "spin lock" : "fast mutex",
                         detail::LockName(held.lock).c_str());
        self.held.pop_back();
        held.undo(held.lock);
    }
    if (self.held.size() < locks_) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "%s released %zu lock(s) that its caller holds", what_,
                         locks_ - self.held.size());
    }
    if (self.irql != irql_) {
        if (!leftLocks) {
            verifier::Report(verifier::Rule::SpinLockWrongIrql,
                             "%s returned at IRQL %d, called at IRQL %d", what_, self.irql, irql_);
        }
        self.irql = irql_;
    }
}

}  // namespace sim::ke

using namespace sim;

extern "C" {

KIRQL KeGetCurrentIrql(void) noexcept
{
    return ke::CurrentIrql();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) noexcept
{
    KIRQL current = ke::CurrentIrql();
    if (NewIrql < current) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeRaiseIrql to IRQL %d from the higher IRQL %d", NewIrql, current);
    }
    *OldIrql = current;
    ke::SetIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) noexcept
{
    KIRQL current = ke::CurrentIrql();
    if (NewIrql > current) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "KeLowerIrql to IRQL %d from the lower IRQL %d", NewIrql, current);
    }
    if (NewIrql < DISPATCH_LEVEL && ke::SpinLocksHeld() > 0) {
        verifier::Report(verifier::Rule::SpinLockWrongIrql,
                         "KeLowerIrql to IRQL %d while holding %zu spin lock(s)", NewIrql,
                         ke::SpinLocksHeld());
    }
    ke::SetIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) noexcept
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

}  // extern "C"
