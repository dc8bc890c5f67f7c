// Low-resources simulation: per-routine and overall counters of fallible calls and
// the failures armed against them. Called from any thread; one mutex guards it all.
#include "sim/lowres.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

namespace sim::lowres {
namespace {

std::mutex g_lock;
std::map<std::string, int> g_calls;              // fallible calls per routine
int g_callsOfAny = 0;                            // fallible calls of every routine
std::map<std::string, std::set<int>> g_armed;    // call numbers that fail, per routine
std::set<int> g_armedOfAny;                      // overall call numbers that fail
int g_injected = 0;
// The run's failure point (ArmPoint): untouched by Reset().
bool g_pointArmed = false;
int g_point = 0;
PointReport g_pointReport;

}  // namespace

void FailNth(const std::string &routine, int n)
{
    if (n < 1) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_armed[routine].insert(g_calls[routine] + n);
}

void FailNthOfAny(int n)
{
    if (n < 1) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_armedOfAny.insert(g_callsOfAny + n);
}

void Reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
    g_callsOfAny = 0;
    g_armed.clear();
    g_armedOfAny.clear();
    g_injected = 0;
}

bool ShouldFail(const char *routine)
{
    std::lock_guard<std::mutex> guard(g_lock);
    int mine = ++g_calls[routine];
    int any = ++g_callsOfAny;
    // Both counters advance on every call, so that a per-routine failure and an
    // overall one armed in the same run keep counting the same calls.
    bool fail = g_armedOfAny.erase(any) > 0;
    auto armed = g_armed.find(routine);
    if (armed != g_armed.end() && armed->second.erase(mine) > 0) {
        fail = true;
    }
    if (g_pointArmed) {
        g_pointReport.perRoutine[routine]++;
        if (++g_pointReport.calls == g_point) {
            g_pointReport.failed = routine;
            fail = true;
            // At once, so that a run that then hangs still says what failed.
            std::fprintf(stderr, "lowres: fail point %d: this call of %s fails\n", g_point, routine);
        }
    }
    if (fail) {
        g_injected++;
    }
    return fail;
}

int Calls(const std::string &routine)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_calls.find(routine);
    return found == g_calls.end() ? 0 : found->second;
}

int CallsOfAny()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_callsOfAny;
}

void ArmPoint(int n)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_pointArmed = true;
    g_point = n;
    g_pointReport = {};
}

void DisarmPoint()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_pointArmed = false;
}

PointReport Point()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_pointReport;
}

int Injected()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_injected;
}

}  // namespace sim::lowres
