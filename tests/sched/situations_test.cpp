// The driver's cross-thread paths, each a small situation run under many schedules of
// each strategy (random, PCT of depth 3, the bounded search with two switches). A run
// fails on what every run checks (a request never completed, a violation, a leak, a
// deadlock, the step bound, a crash) and on the situation's own checks: the port opens
// again afterwards, and the bytes the phone sent are each read once or still queued.
#include "tests/sched/situation.h"

#include "sim/po/po.h"
#include "sim/usb/descriptors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace situations;
using sim::usb::ObexPhone;

void Open(World &w)
{
    w.port = OpenPort();
    if (w.port == INVALID_HANDLE_VALUE) {
        w.Fail("the set-up's open failed: " + std::to_string(GetLastError()));
        return;
    }
    COMMTIMEOUTS timeouts = {};   // reads wait for their bytes
    SetCommTimeouts(w.port, &timeouts);
    SetCommMask(w.port, EV_RXCHAR);
}

void Close(World &w)
{
    CloseHandle(w.port);
    w.port = INVALID_HANDLE_VALUE;
}

// The phone sends `count` bytes in one chunk.
Actor Phone(long count)
{
    return {"phone", [count](World &w) {
                w.phone->Send(ObexPhone::kBulkIn, std::vector<uint8_t>(static_cast<size_t>(count), 'x'));
            }};
}

// A read of up to `length` bytes; what it got is noted as "read".
Actor Reader(DWORD length)
{
    return {"reader", [length](World &w) {
                DWORD bytes = 0;
                ReadSome(w.port, length, &bytes);
                w.notes["read"] += bytes;
            }};
}

const Actor kCloser = {"closer", Close};

// A write on the open port comes back through the loopback in full.
void RoundTrip(World &w)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 1000;
    SetCommTimeouts(w.port, &timeouts);
    PurgeComm(w.port, PURGE_RXCLEAR);
    DWORD bytes = 0;
    if (w.port != INVALID_HANDLE_VALUE && (!WriteAll(w.port, "ping") || !ReadSome(w.port, 4, &bytes) || bytes != 4)) {
        w.Fail("the port did not carry a write back (read " + std::to_string(bytes) + " bytes)");
    }
}

// Afterwards the port opens and carries data.
void Reopens(World &w)
{
    if (w.port != INVALID_HANDLE_VALUE) {
        Close(w);
    }
    Open(w);
    RoundTrip(w);
}

// Every byte the phone sent was read once or is still queued in the driver.
void BytesConserved(World &w, long sent)
{
    COMSTAT stat = {};
    DWORD errors = 0;
    ClearCommError(w.port, &errors, &stat);
    if (w.notes["read"] + static_cast<long>(stat.cbInQue) != sent) {
        w.Fail("the phone sent " + std::to_string(sent) + " bytes, " + std::to_string(w.notes["read"]) +
               " were read and " + std::to_string(stat.cbInQue) + " are queued");
    }
}

void Power(World &w, SYSTEM_POWER_STATE state)
{
    sim::po::SetSystemPower({w.node->Pdo()}, state);
}

const std::vector<Situation> &All()
{
    static const std::vector<Situation> all = {
        {"CleanupRacesReadWriteAndWait", Open,
         {Reader(8), {"writer", [](World &w) { WriteAll(w.port, "hello"); }},
          {"waiter", [](World &w) { DWORD mask = 0; WaitEvent(w.port, &mask); }}, kCloser},
         Reopens},
        {"CloseWhileThePumpRestarts", Open, {Phone(16), kCloser}, Reopens},
        {"ReadTimeoutRacesTheData",
         [](World &w) {
             Open(w);
             COMMTIMEOUTS timeouts = {};
             timeouts.ReadTotalTimeoutConstant = 10;
             SetCommTimeouts(w.port, &timeouts);
         },
         {Reader(4), Phone(4)}, [](World &w) { BytesConserved(w, 4); }},
        {"CancelRacesTheReadsCompletion", Open,
         {Reader(4), Phone(4), {"canceller", [](World &w) { CancelIoEx(w.port, nullptr); }}},
         [](World &w) { BytesConserved(w, 4); }},
        {"MaskChangeRacesTheWaitsEvent", Open,
         {{"waiter", [](World &w) { DWORD mask = 0; WaitEvent(w.port, &mask); }}, Phone(1),
          {"masker", [](World &w) { SetCommMask(w.port, EV_RXCHAR | EV_TXEMPTY); }}},
         [](World &w) { BytesConserved(w, 1); }},
        {"PurgeRacesThePump", Open,
         {Phone(8), Phone(8), {"purger", [](World &w) { PurgeComm(w.port, PURGE_RXABORT | PURGE_RXCLEAR); }}},
         Reopens},
        {"PurgeRacesAWrite", Open,
         {{"writer", [](World &w) { WriteAll(w.port, "0123456789"); }},
          {"purger", [](World &w) { PurgeComm(w.port, PURGE_TXABORT | PURGE_TXCLEAR); }}},
         Reopens},
        {"CloseWhileTheResumeRuns",
         [](World &w) {
             Open(w);
             Power(w, PowerSystemSleeping3);
         },
         {{"waker", [](World &w) { Power(w, PowerSystemWorking); }}, kCloser}, Reopens},
        {"ReopenWhileTheResumeRuns",
         [](World &w) {
             Open(w);
             Power(w, PowerSystemSleeping3);
         },
         {{"waker", [](World &w) { Power(w, PowerSystemWorking); }},
          {"reopener", [](World &w) { Close(w); Open(w); }}},
         Reopens},
        {"SleepAndWakeRaceIo",
         [](World &w) {
             Open(w);
             COMMTIMEOUTS timeouts = {};   // the write may fail while the phone sleeps
             timeouts.ReadTotalTimeoutConstant = 100;
             SetCommTimeouts(w.port, &timeouts);
         },
         {{"writer", [](World &w) { WriteAll(w.port, "abcd"); }}, Reader(4),
          {"sleeper", [](World &w) { Power(w, PowerSystemSleeping3); Power(w, PowerSystemWorking); }}},
         [](World &w) {
             RoundTrip(w);
             Reopens(w);
         }},
        {"QueryRemoveRacesClose", Open,
         {{"remover", [](World &w) { w.notes["removed"] = NT_SUCCESS(w.pnp->Remove(*w.node)); }}, kCloser},
         [](World &w) {
             if (w.notes["removed"] == 0) {
                 Reopens(w);
             }
         }},
        {"QueryStopRacesClose", Open,
         {{"rebalancer", [](World &w) { w.pnp->Rebalance(*w.node); }}, kCloser}, Reopens},
        {"SurpriseRemovalRacesClose", Open,
         {{"unplugger", [](World &w) { w.pnp->SurpriseRemove(*w.node); }}, kCloser},
         [](World &w) {
             w.pnp->Sync();
             if (!w.node->Removed()) {
                 w.Fail("the device was not removed after the surprise removal and the close");
             }
         }},
        {"TwoFirstOpens", nullptr,
         {{"opener 1", [](World &w) { HANDLE h = OpenPort(); w.notes["opened"] += h != INVALID_HANDLE_VALUE; CloseHandle(h); }},
          {"opener 2", [](World &w) { HANDLE h = OpenPort(); w.notes["opened"] += h != INVALID_HANDLE_VALUE; CloseHandle(h); }}},
         [](World &w) {
             if (w.notes["opened"] == 0) {
                 w.Fail("neither open succeeded");
             }
             Reopens(w);
         }},
    };
    return all;
}

struct Case {
    const Situation *situation;
    const char *strategy;
};

class Situations : public ::testing::TestWithParam<Case> {};

TEST_P(Situations, HoldUnderEverySchedule)
{
    const Situation &situation = *GetParam().situation;
    const char *replay = std::getenv("VARNOOBEX_SCHEDULE");
    const char *count = std::getenv("VARNOOBEX_SCHEDULES");
    if (situation.knownFault != nullptr && replay == nullptr && count == nullptr) {
        GTEST_SKIP() << "driver fault not mended yet: " << situation.knownFault;
    }
    std::unique_ptr<sim::ke::sched::Plan> plan =
        replay != nullptr ? sim::ke::sched::ReplayPlan(replay)
                          : PlanFor(GetParam().strategy,
                                    count != nullptr ? std::strtoull(count, nullptr, 10) : situation.ciSchedules);
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const sim::ke::sched::Outcome outcome =
        Explore(situation, *plan, std::string(info->test_suite_name()) + "." + info->name());
    printf("%-32s %-9s %6llu schedules %5llu steps each %llu failures %8.1f ms per schedule\n",
           situation.name, GetParam().strategy, (unsigned long long)outcome.schedules,
           (unsigned long long)(outcome.steps / std::max<uint64_t>(outcome.schedules, 1)),
           (unsigned long long)outcome.failures,
           outcome.schedules == 0 ? 0.0 : 1000 * outcome.seconds / static_cast<double>(outcome.schedules));
    EXPECT_GT(outcome.schedules, 0u);
    EXPECT_EQ(outcome.failures, 0u) << outcome.failure;
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (const Situation &situation : All()) {
        for (const char *strategy : {"random", "pct3", "bounded2"}) {
            cases.push_back({&situation, strategy});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Situations, Situations, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.situation->name) + "_" + info.param.strategy;
                         });

}  // namespace
