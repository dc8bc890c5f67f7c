// Bug checks: a fault while a driver image's code runs stops the run, as an exception
// in kernel mode that nobody handles stops Windows ("Bug Check Code Reference",
// learn.microsoft.com/windows-hardware/drivers/debugger/bug-check-code-reference2).
//
// The host sees the fault as a signal: SIGSEGV for an access violation, for a
// privileged instruction (a general-protection fault) and for a stack that ran out;
// SIGILL for an undefined instruction; SIGFPE for a divide error; SIGBUS. The handler
// runs on the thread's own signal stack, names the stop code Windows would give,
// what the instruction did, where it lies (image-relative address and routine), the
// thread, its IRQL and the driver call and request it was in, and ends the process.
// A fault that is neither in an image nor in a platform routine an image called goes
// to the handler that was there before (the default one, or a sanitizer's).
//
// Stop codes used: 0x1E KMODE_EXCEPTION_NOT_HANDLED (illegal and privileged
// instructions, divide errors, GS-relative and other kernel-only accesses), 0x50
// PAGE_FAULT_IN_NONPAGED_AREA (an invalid address below DISPATCH_LEVEL), 0xD1
// DRIVER_IRQL_NOT_LESS_OR_EQUAL (an invalid address at DISPATCH_LEVEL), 0x7F
// UNEXPECTED_KERNEL_MODE_TRAP with EXCEPTION_DOUBLE_FAULT (a stack overflow).
//
// Not modelled: the kernel stack's own size (24 KB on x64 Windows); a host thread's
// stack is the C library's, so only a runaway recursion overflows it.
#include "sim/ke/internal.h"

#include "sim/io/loader.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

namespace sim::ke {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr size_t kSignalStackSize = 64 * 1024;
// Accesses this far below a thread's stack are its stack running out.
constexpr uintptr_t kStackGuardReach = 1024 * 1024;

struct sigaction g_previous[NSIG];
std::once_flag g_installed;

struct ThreadFaultState {
    void *signalStack = nullptr;
    uintptr_t stackLow = 0;
    uintptr_t stackHigh = 0;
    bool prepared = false;

    ~ThreadFaultState()
    {
        if (signalStack != nullptr) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
            std::free(signalStack);
        }
    }
};
thread_local ThreadFaultState t_fault;

// ---- decoding the faulting instruction
struct Decoded {
    bool gsPrefix = false;
    const char *privileged = nullptr;  // what the instruction is, when privileged
    bool undefined = false;            // ud2
};

Decoded Decode(const uint8_t *pc)
{
    Decoded d;
    int i = 0;
    for (; i < 14; i++) {
        const uint8_t b = pc[i];
        if (b == 0x65) {
            d.gsPrefix = true;
        } else if (!(b == 0x66 || b == 0x67 || b == 0xf2 || b == 0xf3 || b == 0x2e || b == 0x36 || b == 0x3e ||
                     b == 0x26 || b == 0x64 || b == 0xf0)) {
            break;
        }
    }
    bool rexR = false;
    if ((pc[i] & 0xf0) == 0x40) {
        rexR = (pc[i] & 0x04) != 0;
        i++;
    }
    const uint8_t op = pc[i];
    const uint8_t op2 = pc[i + 1];
    if (op == 0x0f) {
        const uint8_t modrm = pc[i + 2];
        switch (op2) {
        case 0x20:
        case 0x22: {
            const int cr = ((modrm >> 3) & 7) | (rexR ? 8 : 0);
            static const char *const reads[] = {"mov r64, cr0", "mov r64, cr1", "mov r64, cr2", "mov r64, cr3",
                                                "mov r64, cr4", "mov r64, cr5", "mov r64, cr6", "mov r64, cr7",
                                                "mov r64, cr8 (reading the IRQL, as KeGetCurrentIrql does inline)"};
            static const char *const writes[] = {"mov cr0, r64", "mov cr1, r64", "mov cr2, r64", "mov cr3, r64",
                                                 "mov cr4, r64", "mov cr5, r64", "mov cr6, r64", "mov cr7, r64",
                                                 ("mov cr8, r64 (setting the IRQL, as KeRaiseIrql and KeLowerIrql "
                                                  "do inline)")};
            if (cr <= 8) {
                d.privileged = op2 == 0x20 ? reads[cr] : writes[cr];
            } else {
                d.privileged = op2 == 0x20 ? "a read of a control register" : "a write of a control register";
            }
            break;
        }
        case 0x21:
        case 0x23: d.privileged = "a move to or from a debug register"; break;
        case 0x30: d.privileged = "wrmsr"; break;
        case 0x32: d.privileged = "rdmsr"; break;
        case 0x06: d.privileged = "clts"; break;
        case 0x08: d.privileged = "invd"; break;
        case 0x09: d.privileged = "wbinvd"; break;
        case 0x0b: d.undefined = true; break;
        case 0x01:
            if (modrm == 0xf8) {
                d.privileged = "swapgs";
            } else if ((modrm & 0xc0) != 0xc0 && ((modrm >> 3) & 7) == 7) {
                d.privileged = "invlpg";
            } else if (modrm == 0xd9 || modrm == 0xca || modrm == 0xcb) {
                d.privileged = "a system instruction";
            }
            break;
        default: break;
        }
    } else if (op == 0xfa) {
        d.privileged = "cli";
    } else if (op == 0xfb) {
        d.privileged = "sti";
    } else if (op == 0xf4) {
        d.privileged = "hlt";
    } else if ((op >= 0xe4 && op <= 0xe7) || (op >= 0xec && op <= 0xef) || (op >= 0x6c && op <= 0x6f)) {
        d.privileged = "port I/O (in, out, ins or outs)";
    }
    return d;
}

// The innermost return address into an image on the faulting thread's stack, from
// the faulting context's frame pointer; 0 when none is found within the stack.
uintptr_t ImageCallerFrom(uintptr_t frame)
{
    char ignored[8];
    for (int depth = 0; depth < 64; depth++) {
        if (frame < t_fault.stackLow || frame + 16 > t_fault.stackHigh) {
            return 0;
        }
        const auto *slot = reinterpret_cast<const uintptr_t *>(frame);
        if (io::DescribeImageAddress(slot[1], ignored, sizeof ignored)) {
            return slot[1];
        }
        if (slot[0] <= frame) {
            return 0;
        }
        frame = slot[0];
    }
    return 0;
}

void Append(char *out, size_t size, size_t *used, const char *format, ...) __attribute__((format(printf, 4, 5)));
void Append(char *out, size_t size, size_t *used, const char *format, ...)
{
    if (*used >= size) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out + *used, size - *used, format, args);
    va_end(args);
    if (n > 0) {
        *used = std::min(size, *used + static_cast<size_t>(n));
    }
}

void OnFault(int signal, siginfo_t *info, void *context)
{
    auto *uc = static_cast<ucontext_t *>(context);
    const uintptr_t pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const uintptr_t fp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);

    static char where[512];
    const bool inImage = io::DescribeImageAddress(pc, where, sizeof where);
    const uintptr_t caller = inImage ? 0 : ImageCallerFrom(fp);
    if (!inImage && caller == 0) {
        // Not the driver's: the handler from before takes it when the instruction
        // faults again.
        sigaction(signal, &g_previous[signal], nullptr);
        return;
    }

    unsigned code = 0x1e;
    const char *name = "KMODE_EXCEPTION_NOT_HANDLED";
    static char what[512];
    const KIRQL irql = CurrentIrql();
    const bool stackOverflow =
        signal == SIGSEGV && t_fault.stackLow != 0 && address < t_fault.stackLow + 4096 &&
        address + kStackGuardReach >= t_fault.stackLow;
    const Decoded decoded = inImage ? Decode(reinterpret_cast<const uint8_t *>(pc)) : Decoded{};
    if (stackOverflow) {
        code = 0x7f;
        name = "UNEXPECTED_KERNEL_MODE_TRAP";
        std::snprintf(what, sizeof what,
                      "EXCEPTION_DOUBLE_FAULT (8): a stack overflow (the thread's %zu KB stack ran out at 0x%lx)",
                      (t_fault.stackHigh - t_fault.stackLow) / 1024, (unsigned long)address);
    } else if (decoded.privileged != nullptr) {
        std::snprintf(what, sizeof what, "STATUS_PRIVILEGED_INSTRUCTION (0xC0000096): %s, which only the "
                      "kernel may execute", decoded.privileged);
    } else if (signal == SIGILL) {
        std::snprintf(what, sizeof what, "STATUS_ILLEGAL_INSTRUCTION (0xC000001D): %s",
                      decoded.undefined ? "ud2, the undefined instruction" : "an undefined instruction");
    } else if (signal == SIGFPE) {
        std::snprintf(what, sizeof what, "%s", info->si_code == FPE_INTOVF
                                                   ? "STATUS_INTEGER_OVERFLOW (0xC0000095): a division overflow"
                                                   : "STATUS_INTEGER_DIVIDE_BY_ZERO (0xC0000094): a division by zero");
    } else if (decoded.gsPrefix) {
        std::snprintf(what, sizeof what, "STATUS_ACCESS_VIOLATION (0xC0000005): a GS-relative access (the "
                      "processor's and the current thread's kernel structures, KPCR and KTHREAD, which a host "
                      "process does not have)");
    } else if (address >= 0xfffff78000000000ull && address < 0xfffff78000001000ull) {
        std::snprintf(what, sizeof what, "STATUS_ACCESS_VIOLATION (0xC0000005): a read of KUSER_SHARED_DATA at "
                      "0x%lx (KeQueryInterruptTime and KeQueryTickCount read it inline), which a host process "
                      "cannot map", (unsigned long)address);
    } else {
        const unsigned long error = static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_ERR]);
        const char *kind = (error & 0x10) ? "executing" : (error & 0x2) ? "writing" : "reading";
        if (irql >= DISPATCH_LEVEL) {
            code = 0xd1;
            name = "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
        } else {
            code = 0x50;
            name = "PAGE_FAULT_IN_NONPAGED_AREA";
        }
        if (info->si_code == SI_KERNEL) {
            std::snprintf(what, sizeof what, "STATUS_ACCESS_VIOLATION (0xC0000005): a general-protection fault "
                          "(a non-canonical address)");
        } else {
            std::snprintf(what, sizeof what, "STATUS_ACCESS_VIOLATION (0xC0000005): %s address 0x%lx", kind,
                          (unsigned long)address);
        }
    }

    static char report[2048];
    size_t used = 0;
    Append(report, sizeof report, &used, "\n*** STOP 0x%08X %s: %s\n", code, name, what);
    if (inImage) {
        Append(report, sizeof report, &used, "    at %s\n", where);
    } else {
        io::DescribeImageAddress(caller, where, sizeof where);
        Append(report, sizeof report, &used, "    at 0x%lx in a platform routine, called from %s\n",
               (unsigned long)pc, where);
    }
    Append(report, sizeof report, &used, "    thread \"%s\" at IRQL %d", ThreadName(), irql);
    const DriverCall *call = DriverCall::Innermost();
    if (call != nullptr) {
        Append(report, sizeof report, &used, ", in %s", call->What());
        for (const DriverCall *c = call; c != nullptr; c = c->Outer()) {
            if (c->Request() != nullptr) {
                Append(report, sizeof report, &used, " (IRP %p)", c->Request());
                break;
            }
        }
    }
    Append(report, sizeof report, &used, "\n");
    const ssize_t written = write(STDERR_FILENO, report, used);
    (void)written;
    _exit(kBugCheckExitStatus);
}

}  // namespace

void EnableDriverFaultReports()
{
    std::call_once(g_installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int signal : kSignals) {
            sigaction(signal, &action, &g_previous[signal]);
        }
        detail::g_faultReports.store(true);
    });
}

namespace detail {

void PrepareThreadForDriverCode()
{
    if (t_fault.prepared) {
        return;
    }
    t_fault.prepared = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *stack = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &stack, &size);
        pthread_attr_destroy(&attr);
        t_fault.stackLow = reinterpret_cast<uintptr_t>(stack);
        t_fault.stackHigh = t_fault.stackLow + size;
    }
    // A thread that already has a signal stack (a sanitizer's) keeps it.
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
        return;
    }
    t_fault.signalStack = std::malloc(kSignalStackSize);
    if (t_fault.signalStack == nullptr) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = t_fault.signalStack;
    stack.ss_size = kSignalStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        std::free(t_fault.signalStack);
        t_fault.signalStack = nullptr;
    }
}

}  // namespace detail
}  // namespace sim::ke
