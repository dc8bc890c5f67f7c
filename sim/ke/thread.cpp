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

// x64 Windows gives each thread a 24 KB kernel stack ("How do I keep my driver from
// running out of kernel-mode stack?"), and running out of it is a bug check ("Using
// the Kernel Stack"). The host's stack is the C library's, so the platform measures
// instead: at each driver call nested inside another on this thread, how far the
// stack has grown since the outermost one began. The platform's own frames count
// too, and they are larger than the kernel's (a debug build, std::function), so the
// figure errs towards a report; the deepest nesting the suites make stays under
// 6 KB. Sanitizers enlarge every frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kKernelStackBytes = 3 * 24 * 1024;
#else
constexpr size_t kKernelStackBytes = 24 * 1024;
#endif
thread_local uintptr_t t_stackBase = 0;
thread_local bool t_stackReported = false;

void CheckStackDepth(const DriverCall *call, const DriverCall *outer)
{
    const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (outer == nullptr) {
        t_stackBase = sp;
        t_stackReported = false;
        return;
    }
    if (t_stackReported || t_stackBase <= sp || t_stackBase - sp <= kKernelStackBytes) {
        return;
    }
    t_stackReported = true;
    size_t depth = 1;
    const DriverCall *outermost = outer;
    for (; outermost->Outer() != nullptr; outermost = outermost->Outer()) {
        depth++;
    }
    verifier::Report(verifier::Rule::KernelStackOverflow,
                     "%zu driver calls nested on one thread (from %s to %s) used %zu KB of stack: a "
                     "kernel stack on x64 Windows has %zu KB, and running out of it is a bug check",
                     depth + 1, outermost->What(), call->What(), (t_stackBase - sp) / 1024,
                     kKernelStackBytes / 1024);
}
}  // namespace

DriverCall::DriverCall(const char *what, const void *request)
    : what_(what), request_(request), irql_(CurrentIrql()), locks_(Self().held.size()), outer_(g_innermost)
{
    CheckStackDepth(this, outer_);
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
