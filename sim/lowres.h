// Low-resources simulation: makes the N-th call of a fallible platform routine fail.
// Each fallible routine asks ShouldFail() with its own name before it does its work;
// a test arms a failure for one routine ("ExAllocatePool", "IoAllocateIrp",
// ...) or for the N-th fallible call of any routine, and the call reports the
// routine's documented failure (NULL, STATUS_INSUFFICIENT_RESOURCES, ...).
#pragma once

#include <map>
#include <string>

namespace sim::lowres {

// The routine names that ask; a sweep iterates over the fallible calls of any of them.
// ExAllocatePool and ExAllocatePoolWithTag share the name "ExAllocatePool".

// Make the n-th call (1 = the next one) of `routine` fail.
void FailNth(const std::string &routine, int n);
// Make the n-th fallible call of any routine fail.
void FailNthOfAny(int n);
// Forget every armed failure and reset the call counters.
void Reset();
// Called by the platform routines themselves. Counts the call and says whether it fails.
bool ShouldFail(const char *routine);
// Fallible calls seen since the last Reset(), of one routine or of all.
int Calls(const std::string &routine);
int CallsOfAny();
// Failures injected since the last Reset().
int Injected();

// A failure point of a whole run: the n-th fallible call (of any routine) made after
// ArmPoint(n) fails, and counting goes on until DisarmPoint(). Unlike FailNthOfAny it
// survives Reset() (and a platform restart), so that what a run does with its own
// armed failures does not move the point. ArmPoint(0) only counts.
void ArmPoint(int n);
// Stops counting; the calls counted and the routine that failed stay readable.
void DisarmPoint();
struct PointReport {
    int calls = 0;                       // fallible calls made while armed
    std::string failed;                  // the routine whose call failed, or empty
    std::map<std::string, int> perRoutine;   // the same calls, by routine
};
PointReport Point();

}  // namespace sim::lowres
