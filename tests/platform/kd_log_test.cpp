// Kd contract: every DbgPrint call is one log entry holding exactly the bytes it
// printed; the kernel's formatting (narrow %s, wide %ws and %wZ) applies; a call is
// cut at 512 bytes; Unicode conversions above PASSIVE_LEVEL are reported; the log is
// safe to print to from many threads.
#include "kernel/kernel.h"
#include "sim/kd/kd.h"
#include "tests/support/platform_test.h"

#include <string>
#include <thread>
#include <vector>

using sim::verifier::Rule;

namespace {

class KdLog : public bench::PlatformTest {};

TEST_F(KdLog, EachCallIsOneEntryWithItsNewlinesKept)
{
    const std::string stars(79, '*');
    DbgPrint("%s\n", stars.c_str());
    DbgPrint("NAME(%s)  Time: %s  Date: %s LOADED \n", "Ver 1.1", "12:00:00", "Jan  1 2026");
    DbgPrint("%s\n\n", stars.c_str());

    std::vector<std::string> log = sim::kd::Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], stars + "\n");
    EXPECT_EQ(log[1], "NAME(Ver 1.1)  Time: 12:00:00  Date: Jan  1 2026 LOADED \n");
    EXPECT_EQ(log[2], stars + "\n\n");
    EXPECT_EQ(sim::kd::Text(), log[0] + log[1] + log[2]);

    DbgPrint("half a ");
    DbgPrint("line\n");
    EXPECT_EQ(sim::kd::Log().size(), 5u) << "a line printed by two calls stays two entries";

    sim::kd::ClearLog();
    EXPECT_TRUE(sim::kd::Log().empty());
}

TEST_F(KdLog, NarrowAndWideArgumentsAreFormattedAsTheKernelDoes)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\VARNOOBEX1");
    DbgPrint("%s %ws %wZ %S %d %08lx %c", "a", u"COM5", &name, u"w", -3, 0x1bu, 'z');
    ASSERT_EQ(sim::kd::Log().size(), 1u);
    EXPECT_EQ(sim::kd::Log()[0], "a COM5 \\Device\\VARNOOBEX1 w -3 0000001b z");
}

TEST_F(KdLog, ACallLongerThanTheDebuggerTakesIsCutAt512Bytes)
{
    const std::string long_text(700, 'q');
    DbgPrint("%s", long_text.c_str());
    ASSERT_EQ(sim::kd::Log().size(), 1u);
    EXPECT_EQ(sim::kd::Log()[0], std::string(512, 'q'));
}

TEST_F(KdLog, UnicodeConversionsAreReportedAbovePassiveLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    DbgPrint("narrow text is fine: %s %d\n", "x", 1);
    EXPECT_TRUE(TakeViolations().empty());
    DbgPrint("%ws\n", u"COM5");
    KeLowerIrql(old);
    ExpectViolation(Rule::InvalidParameter);
    EXPECT_EQ(sim::kd::Log().size(), 2u) << "the text is still printed";
}

TEST_F(KdLog, ConcurrentPrintersLoseNoEntryAndNeverInterleaveOne)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; i++) {
                DbgPrint("thread %d line %d\n", t, i);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    std::vector<std::string> log = sim::kd::Log();
    ASSERT_EQ(log.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string &entry : log) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(entry.c_str(), "thread %d line %d\n", &t, &i), 2) << entry;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, next[t]++) << "each thread's entries stay in its order";
    }
}

}  // namespace
