// The lock order check, lockdep-style: every time a thread takes lock B while it
// holds lock A, the edge A -> B is learned; taking a lock that can already reach a
// held lock through learned edges would close a cycle, which is a possible deadlock
// between two threads even if this run never interleaved them badly. Ranks given by
// SetLockRank add the documented order on top: a lock may only be taken while every
// held ranked lock has a lower rank. Spin locks and fast mutexes both take part.
//
// Runs in any thread at any IRQL; the learned graph is guarded by its own mutex,
// which is only taken when the thread already holds a lock.
#include "sim/ke/internal.h"

#include "sim/verifier.h"

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace sim::ke {
namespace {

struct Edge {
    std::string where;  // the thread and routine that first nested them
};

struct Ranked {
    int rank;
    std::string name;
};

std::mutex g_orderLock;
std::map<const void *, std::map<const void *, Edge>> g_edges;  // A -> (B -> first seen)
std::map<const void *, Ranked> g_ranks;
std::set<std::pair<const void *, const void *>> g_reported;  // one report per pair and run

std::string NameLocked(const void *lock)
{
    auto ranked = g_ranks.find(lock);
    if (ranked != g_ranks.end()) {
        return ranked->second.name;
    }
    char text[32];
    snprintf(text, sizeof(text), "lock %p", lock);
    return text;
}

// True when `to` is reachable from `from` through learned edges; `path` gets the
// first edge of the way, for the report.
bool ReachesLocked(const void *from, const void *to, std::set<const void *> &seen,
                   std::string &firstSeen)
{
    if (!seen.insert(from).second) {
        return false;
    }
    auto out = g_edges.find(from);
    if (out == g_edges.end()) {
        return false;
    }
    for (const auto &[next, edge] : out->second) {
        if (next == to || ReachesLocked(next, to, seen, firstSeen)) {
            if (firstSeen.empty()) {
                firstSeen = edge.where;
            }
            return true;
        }
    }
    return false;
}

void CheckOrderLocked(const void *held, const void *taking, const char *routine)
{
    auto key = std::make_pair(held, taking);
    auto heldRank = g_ranks.find(held);
    auto takingRank = g_ranks.find(taking);
    if (heldRank != g_ranks.end() && takingRank != g_ranks.end() &&
        heldRank->second.rank >= takingRank->second.rank && g_reported.insert(key).second) {
        verifier::Report(verifier::Rule::LockOrder,
                         "%s takes %s (rank %d) while holding %s (rank %d)", routine,
                         takingRank->second.name.c_str(), takingRank->second.rank,
                         heldRank->second.name.c_str(), heldRank->second.rank);
    }

    auto &out = g_edges[held];
    if (out.count(taking) != 0) {
        return;
    }
    std::set<const void *> seen;
    std::string firstSeen;
    if (ReachesLocked(taking, held, seen, firstSeen)) {
        if (g_reported.insert(key).second) {
            verifier::Report(verifier::Rule::LockOrder,
                             "%s takes %s while holding %s; the opposite order was seen earlier "
                             "(%s)",
                             routine, NameLocked(taking).c_str(), NameLocked(held).c_str(),
                             firstSeen.c_str());
        }
        // The inverted edge is not learned: the first order stays the reference.
        return;
    }
    out[taking] = Edge{std::string(ThreadName()) + " in " + routine};
}

}  // namespace

void SetLockRank(const void *lock, int rank, const char *name)
{
    std::lock_guard<std::mutex> guard(g_orderLock);
    g_ranks[lock] = Ranked{rank, name};
}

void ForgetLocksIn(const void *begin, size_t length)
{
    auto inside = [&](const void *p) {
        return p >= begin && static_cast<const char *>(p) < static_cast<const char *>(begin) + length;
    };
    std::lock_guard<std::mutex> guard(g_orderLock);
    for (auto from = g_edges.begin(); from != g_edges.end();) {
        if (inside(from->first)) {
            from = g_edges.erase(from);
            continue;
        }
        for (auto to = from->second.begin(); to != from->second.end();) {
            to = inside(to->first) ? from->second.erase(to) : std::next(to);
        }
        ++from;
    }
    for (auto ranked = g_ranks.begin(); ranked != g_ranks.end();) {
        ranked = inside(ranked->first) ? g_ranks.erase(ranked) : std::next(ranked);
    }
    for (auto pair = g_reported.begin(); pair != g_reported.end();) {
        pair = inside(pair->first) || inside(pair->second) ? g_reported.erase(pair) : std::next(pair);
    }
}

void ForgetAllLocks()
{
    std::lock_guard<std::mutex> guard(g_orderLock);
    g_edges.clear();
    g_ranks.clear();
    g_reported.clear();
}

namespace detail {

std::string LockName(const void *lock)
{
    std::lock_guard<std::mutex> guard(g_orderLock);
    return NameLocked(lock);
}

bool HoldsLock(const void *lock)
{
    for (const auto &held : HeldLocks()) {
        if (held.lock == lock) {
            return true;
        }
    }
    return false;
}

bool NoteAcquire(const void *lock, LockKind kind, ForceRelease undo, const char *routine,
                 bool tryOnly)
{
    auto &held = HeldLocks();
    if (HoldsLock(lock)) {
        verifier::Report(verifier::Rule::LockOrder,
                         "%s takes %s, which this thread already holds (a deadlock on Windows)",
                         routine, LockName(lock).c_str());
        return false;
    }
    if (!held.empty() && !tryOnly) {
        std::lock_guard<std::mutex> guard(g_orderLock);
        for (const auto &outer : held) {
            CheckOrderLocked(outer.lock, lock, routine);
        }
    }
    held.push_back(HeldLock{lock, kind, undo});
    return true;
}

bool NoteRelease(const void *lock)
{
    auto &held = HeldLocks();
    for (size_t i = held.size(); i-- > 0;) {
        if (held[i].lock == lock) {
            held.erase(held.begin() + static_cast<ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

}  // namespace detail
}  // namespace sim::ke
