// Ex contract: new pool is not zeroed; fast mutexes
// (APC_LEVEL while held, try-acquire; exclusion is in ke_test.cpp); work items at PASSIVE_LEVEL on a
// worker thread; and the low-resources simulation, which fails the N-th call of each
// fallible routine. Overruns, double frees and leaks are rows of verifier_rules_test.cpp.
#include "tests/support/test_driver.h"

#include "sim/cm/cm.h"
#include "sim/ex/ex.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"

#include <cstring>
#include <future>
#include <string>

namespace {

using bench::IoTest;

constexpr ULONG kTag = 0x74736554;  // "Test" in memory

class ExPool : public bench::PlatformTest {};

TEST_F(ExPool, NewPoolIsNotZeroedAndLargeBlocksWork)
{
    constexpr size_t kLarge = (1u << 20) + 4096;  // a device object with a 1 MB extension
    auto *large = static_cast<unsigned char *>(ExAllocatePool(NonPagedPool, kLarge));
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(std::memchr(large, 0, kLarge), nullptr) << "a driver that forgets to zero its pool must see garbage";
    std::memset(large, 0, kLarge);  // every byte is writable without touching a guard
    ExFreePool(large);
}

class ExFastMutex : public bench::PlatformTest {};

TEST_F(ExFastMutex, HeldAtApcLevelTryFailsWhileOwned)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    auto tried = std::async(std::launch::async, [&] {
        BOOLEAN got = ExTryToAcquireFastMutex(&mutex);
        return std::make_pair(got, KeGetCurrentIrql());
    }).get();
    EXPECT_FALSE(tried.first);
    EXPECT_EQ(tried.second, PASSIVE_LEVEL) << "a failed try leaves the IRQL alone";
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&mutex);
}

struct Job {
    WORK_QUEUE_ITEM item;
    KIRQL irql = HIGH_LEVEL;
    std::string thread;
};

class ExWorkItem : public bench::PlatformTest {};

TEST_F(ExWorkItem, RunsAtPassiveLevelOnAWorkerThreadEvenWhenQueuedAtDispatch)
{
    Job job;
    ExInitializeWorkItem(&job.item, [](PVOID parameter) NTAPI {
        auto *self = static_cast<Job *>(parameter);
        self->irql = KeGetCurrentIrql();
        self->thread = sim::ke::ThreadName();
    }, &job);
    sim::ke::RunAtDispatch([&] { ExQueueWorkItem(&job.item, DelayedWorkQueue); });
    sim::ke::WaitIdle();
    EXPECT_EQ(job.irql, PASSIVE_LEVEL);
    EXPECT_EQ(job.thread.rfind("worker", 0), 0u) << job.thread;

    // An item allocated from pool may free itself in its own routine.
    auto *item = static_cast<PWORK_QUEUE_ITEM>(ExAllocatePool(NonPagedPool, sizeof(WORK_QUEUE_ITEM)));
    ExInitializeWorkItem(item, [](PVOID self) NTAPI { ExFreePool(self); }, item);
    ExQueueWorkItem(item, DelayedWorkQueue);
    sim::ke::WaitIdle();
}

// Each fallible routine: its next call fails with the routine's own failure, leaves
// nothing behind, and the call after it succeeds.
struct Fallible {
    const char *routine;
    std::function<bool(IoTest &)> call;  // true when the call succeeded; cleans up after itself
};

const Fallible kFallible[] = {
    {"ExAllocatePool",
     [](IoTest &) {
         void *block = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);  // both allocators count
         if (block != nullptr) {
             ExFreePool(block);
         }
         return block != nullptr;
     }},
    {"IoAllocateIrp",
     [](IoTest &) {
         PIRP irp = IoAllocateIrp(2, FALSE);
         if (irp != nullptr) {
             IoFreeIrp(irp);
         }
         return irp != nullptr;
     }},
    {"IoCreateDevice",
     [](IoTest &t) {
         PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(&t);  // to be overwritten
         NTSTATUS status = IoCreateDevice(t.driver_, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         if (NT_SUCCESS(status)) {
             IoDeleteDevice(device);
             return true;
         }
         EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
         EXPECT_EQ(device, nullptr);
         return false;
     }},
    {"IoCreateSymbolicLink",
     [](IoTest &) {
         UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, u"\\??\\COM2");
         RtlInitUnicodeString(&target, u"\\Device\\X");
         NTSTATUS status = IoCreateUnprotectedSymbolicLink(&link, &target);
         if (NT_SUCCESS(status)) {
             EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
             return true;
         }
         EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
         EXPECT_EQ(sim::ob::LinkTarget(u"\\??\\COM2"), u"");
         return false;
     }},
    {"RtlWriteRegistryValue",
     [](IoTest &) {
         const WCHAR data[] = u"COM5";
         NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\V1", REG_SZ,
                                                 const_cast<WCHAR *>(data), 10);
         if (NT_SUCCESS(status)) {
             return RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\V1") == STATUS_SUCCESS;
         }
         EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
         EXPECT_FALSE(sim::cm::GetValue(sim::cm::kSerialComm, u"\\Device\\V1").has_value());
         return false;
     }},
};

TEST_F(IoTest, EachFallibleRoutineFailsExactlyItsNthCall)
{
    for (const Fallible &f : kFallible) {
        SCOPED_TRACE(f.routine);
        sim::lowres::Reset();
        sim::lowres::FailNth(f.routine, 2);
        EXPECT_TRUE(f.call(*this));
        EXPECT_FALSE(f.call(*this));
        EXPECT_TRUE(f.call(*this));
        EXPECT_EQ(sim::lowres::Calls(f.routine), 3);
        EXPECT_EQ(sim::lowres::Injected(), 1);
    }
}

TEST_F(IoTest, TheNthFallibleCallOfAnyRoutineCountsAcrossRoutinesButNotInfallibleOnes)
{
    sim::lowres::Reset();
    void *tagged = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);  // call 1
    sim::lowres::ShouldFail("IoAllocateIrp");                       // call 2
    sim::lowres::FailNthOfAny(2);                                   // fails call 4
    void *untagged = ExAllocatePool(NonPagedPool, 4);                // call 3
    void *infallible = sim::ex::AllocateFor("platform", 4, 0, false);
    EXPECT_TRUE(sim::lowres::ShouldFail("IoAllocateIrp"));          // call 4
    EXPECT_FALSE(sim::lowres::ShouldFail("IoCreateDevice"));        // call 5
    EXPECT_NE(untagged, nullptr);
    EXPECT_NE(infallible, nullptr);
    EXPECT_EQ(sim::lowres::CallsOfAny(), 5);
    EXPECT_EQ(sim::lowres::Injected(), 1);
    sim::lowres::Reset();
    EXPECT_EQ(sim::lowres::CallsOfAny(), 0);
    ExFreePool(tagged);
    ExFreePool(untagged);
    ExFreePool(infallible);
}

}  // namespace
