// Ex contract: pool blocks are tracked and guarded; overruns on either side, double
// frees, frees of foreign pointers, tag mismatches and leaks are reported; the
// low-resources simulation fails the N-th allocation.
#include "sim/ex/ex.h"
#include "sim/lowres.h"
#include "tests/support/platform_test.h"

#include <cstring>

using sim::verifier::Rule;

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test" in memory

class ExPool : public bench::PlatformTest {};

TEST_F(ExPool, BlocksAreTrackedWithTagSizeSerialAndOwnerUntilFreed)
{
    void *tagged = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    void *untagged = ExAllocatePool(PagedPool, 8);
    void *forDriver = sim::ex::AllocateFor("IoRegisterDeviceInterface", 16, 0, true);
    ASSERT_NE(tagged, nullptr);
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tagged) % MEMORY_ALLOCATION_ALIGNMENT, 0u);

    auto blocks = sim::ex::Outstanding();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, tagged);
    EXPECT_EQ(blocks[0].size, 24u);
    EXPECT_EQ(blocks[0].tag, kTag);
    EXPECT_EQ(blocks[0].serial, 1u);
    EXPECT_EQ(blocks[0].owner, "driver");
    EXPECT_EQ(blocks[0].poolType, NonPagedPool);
    EXPECT_EQ(blocks[1].tag, 0x656E6F4Eu) << "untagged pool is tagged 'None'";
    EXPECT_EQ(blocks[1].poolType, PagedPool);
    EXPECT_EQ(blocks[2].owner, "IoRegisterDeviceInterface");
    EXPECT_EQ(sim::ex::OutstandingBytes(), 48u);
    EXPECT_TRUE(sim::ex::IsLiveBlock(tagged));

    ExFreePoolWithTag(tagged, kTag);
    ExFreePool(untagged);
    ExFreePool(forDriver);
    EXPECT_FALSE(sim::ex::IsLiveBlock(tagged));
    EXPECT_EQ(sim::ex::OutstandingCount(), 0u);
}

TEST_F(ExPool, NewPoolIsNotZeroedAndLargeBlocksWork)
{
    constexpr size_t kLarge = (1u << 20) + 4096;  // a device object with a 1 MB extension
    auto *large = static_cast<unsigned char *>(ExAllocatePool(NonPagedPool, kLarge));
    ASSERT_NE(large, nullptr);
    bool anyZero = false;
    for (size_t i = 0; i < kLarge; i++) {
        anyZero = anyZero || large[i] == 0;
    }
    EXPECT_FALSE(anyZero) << "a driver that forgets to zero its pool must see garbage";
    memset(large, 0, kLarge);  // every byte is writable without touching a guard
    ExFreePool(large);
}

TEST_F(ExPool, AWriteJustPastTheEndIsReportedWhenTheBlockIsFreed)
{
    auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    block[10] = 0;
    ExFreePool(block);
    ExpectViolation(Rule::PoolOverrun);
}

TEST_F(ExPool, AWriteJustBeforeTheStartIsReportedWhenTheBlockIsFreed)
{
    auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    block[-1] = 0;
    ExFreePool(block);
    ExpectViolation(Rule::PoolOverrun);
}

TEST_F(ExPool, FreeingTwiceIsADoubleFreeAndFreeingAForeignPointerIsRefused)
{
    void *block = ExAllocatePool(NonPagedPool, 32);
    ExFreePool(block);
    ExFreePool(block);
    ExpectViolation(Rule::PoolDoubleFree);

    int onTheStack = 0;
    ExFreePool(&onTheStack);
    ExpectViolation(Rule::InvalidParameter);
    auto *live = static_cast<char *>(ExAllocatePool(NonPagedPool, 32));
    ExFreePool(live + 8);
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].detail.find("8 bytes into"), std::string::npos) << violations[0].detail;
    EXPECT_TRUE(sim::ex::IsLiveBlock(live));
    ExFreePool(live);
}

TEST_F(ExPool, FreeingWithAnotherTagIsReported)
{
    void *block = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    ExFreePoolWithTag(block, 0x64627355);
    ExpectViolation(Rule::InvalidParameter);
    EXPECT_FALSE(sim::ex::IsLiveBlock(block)) << "the block is freed all the same";
}

TEST_F(ExPool, EveryBlockLeftIsReportedAsALeak)
{
    ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    ExAllocatePool(NonPagedPool, 8);
    EXPECT_EQ(sim::ex::CheckNoLeaks("device removal"), 2u);
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 2u);
    for (const auto &violation : violations) {
        EXPECT_EQ(violation.rule, Rule::PoolLeak);
        EXPECT_NE(violation.detail.find("device removal"), std::string::npos);
    }
    EXPECT_EQ(sim::ex::OutstandingCount(), 0u);
}

class LowResources : public bench::PlatformTest {};

TEST_F(LowResources, TheNthAllocationFailsAndOnlyThatOne)
{
    sim::lowres::FailNth("ExAllocatePool", 3);
    void *blocks[5];
    for (auto &block : blocks) {
        block = ExAllocatePool(NonPagedPool, 4);
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(sim::lowres::Calls("ExAllocatePool"), 5);
    EXPECT_EQ(sim::lowres::Injected(), 1);
    for (auto *block : blocks) {
        if (block != nullptr) {
            ExFreePool(block);
        }
    }
}

TEST_F(LowResources, CountsAreShared)
{
    // Both allocators count as one routine, the N-th of any routine counts across
    // routines, and infallible platform allocations are not counted at all.
    void *tagged = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);  // call 1
    sim::lowres::ShouldFail("IoAllocateIrp");                       // call 2
    sim::lowres::FailNthOfAny(2);                                   // fails call 4
    void *untagged = ExAllocatePool(NonPagedPool, 4);                // call 3
    void *infallible = sim::ex::AllocateFor("platform", 4, 0, false);
    EXPECT_TRUE(sim::lowres::ShouldFail("IoAllocateIrp"));          // call 4
    EXPECT_FALSE(sim::lowres::ShouldFail("IoCreateDevice"));        // call 5
    EXPECT_NE(untagged, nullptr);
    EXPECT_NE(infallible, nullptr);
    EXPECT_EQ(sim::lowres::Calls("ExAllocatePool"), 2);
    EXPECT_EQ(sim::lowres::Calls("IoAllocateIrp"), 2);
    EXPECT_EQ(sim::lowres::CallsOfAny(), 5);
    EXPECT_EQ(sim::lowres::Injected(), 1);

    sim::lowres::Reset();
    EXPECT_EQ(sim::lowres::CallsOfAny(), 0);
    EXPECT_EQ(sim::lowres::Injected(), 0);
    ExFreePool(tagged);
    ExFreePool(untagged);
    ExFreePool(infallible);
}

}  // namespace
