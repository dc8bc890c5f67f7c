// The executive pool: ExAllocatePool(WithTag) and ExFreePool(WithTag), and the
// records that leak checks read. Callable from any thread at IRQL <= DISPATCH_LEVEL.
//
// Each block is laid out as [header][front guard][caller's bytes][back guard]; the
// guards are checked when the block is freed and when leaks are checked. New blocks
// are filled with a non-zero pattern, as Windows pool is not zeroed. A freed block
// is poisoned and kept in a bounded quarantine, so that its address is not reused
// at once and a second free of it is recognised as such.
//
// Not modelled: paged pool being pageable (both kinds are ordinary memory),
// lookaside lists, quota charging, and pool exhaustion other than through the
// low-resources simulation.
#include "sim/ex/ex.h"

#include "sim/ke/ke.h"
#include "sim/lowres.h"
#include "sim/verifier.h"
#include "sim/io/loader.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace sim::ex {
namespace {

constexpr uint8_t kFillByte = 0xCD;     // fresh, uninitialised pool
constexpr uint8_t kGuardByte = 0xFD;    // the guards around each block
constexpr uint8_t kPoisonByte = 0xDD;   // freed pool
constexpr size_t kGuardSize = 32;
constexpr uint64_t kLiveMagic = 0x4C4F4F504556494CULL;   // "LIVEPOOL"
constexpr uint64_t kFreedMagic = 0x4C4F4F5044454546ULL;  // "FEEDPOOL"
constexpr size_t kQuarantineBlocks = 1024;
constexpr size_t kQuarantineBytes = 64u << 20;
// Windows tags an untagged allocation "None".
constexpr uint32_t kUntagged = 0x656E6F4E;

struct alignas(16) Header {
    uint64_t magic;
    uint64_t size;
    uint64_t serial;
    uint32_t tag;
    uint32_t poolType;
    uint8_t frontGuard[kGuardSize];
};
static_assert(sizeof(Header) % MEMORY_ALLOCATION_ALIGNMENT == 0, "caller's bytes stay aligned");

struct Record {
    size_t size;
    uint32_t tag;
    int poolType;
    uint64_t serial;
    std::string owner;
};

struct Quarantined {
    void *address;
    size_t size;
};

// The records are never destroyed: a platform thread may still free a block while
// the process exits, and a leak checker that runs after static destructors must
// still find the given-up blocks reachable.
std::mutex g_lock;
auto &g_live = *new std::unordered_map<const void *, Record>;
auto &g_quarantine = *new std::deque<Quarantined>;
auto &g_quarantined = *new std::unordered_set<const void *>;
size_t g_quarantineBytes = 0;
uint64_t g_nextSerial = 1;
// The live blocks' bytes now and at most since the last ResetPoolPeak().
size_t g_liveBytes = 0;
PoolPeak g_peak;
// Blocks given up by CheckNoLeaks or ResetPool: never freed, since a platform thread
// may still touch them, but kept reachable so that a leak checker does not count them.
auto &g_abandoned = *new std::vector<void *>;

Header *HeaderOf(const void *address)
{
    return reinterpret_cast<Header *>(const_cast<char *>(static_cast<const char *>(address)) -
                                      sizeof(Header));
}

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Describe(const void *address, const Record &record)
{
    char text[160];
    snprintf(text, sizeof(text), "block %p of %zu bytes, tag '%s', serial %llu, allocated by %s",
             address, record.size, TagText(record.tag).c_str(),
             (unsigned long long)record.serial, record.owner.c_str());
    return text;
}

// Reports a damaged guard of a live block; `when` says who looked.
void CheckGuardsLocked(const void *address, const Record &record, const char *when)
{
    const Header *header = HeaderOf(address);
    for (size_t i = 0; i < kGuardSize; i++) {
        if (header->frontGuard[i] != kGuardByte) {
            verifier::Report(verifier::Rule::PoolOverrun,
                             "%s: %s was written %zu byte(s) before its start", when,
                             Describe(address, record).c_str(), kGuardSize - i);
            break;
        }
    }
    const uint8_t *back = static_cast<const uint8_t *>(address) + record.size;
    for (size_t i = kGuardSize; i-- > 0;) {
        if (back[i] != kGuardByte) {
            verifier::Report(verifier::Rule::PoolOverrun,
                             "%s: %s was written up to %zu byte(s) past its end", when,
                             Describe(address, record).c_str(), i + 1);
            break;
        }
    }
}

void *Allocate(POOL_TYPE type, size_t size, uint32_t tag, const char *owner, bool fallible)
{
    KIRQL irql = ke::CurrentIrql();
    bool paged = (type & 1) != 0;
    if (irql > DISPATCH_LEVEL || (paged && irql >= DISPATCH_LEVEL)) {
        verifier::Report(verifier::Rule::InvalidParameter,
                         "allocation from %s pool at IRQL %d", paged ? "paged" : "nonpaged", irql);
    }
    if (fallible && lowres::ShouldFail("ExAllocatePool")) {
        return NULL;
    }
    auto *raw = static_cast<uint8_t *>(std::malloc(sizeof(Header) + size + kGuardSize));
    if (raw == NULL) {
        return NULL;
    }
    auto *header = reinterpret_cast<Header *>(raw);
    uint8_t *address = raw + sizeof(Header);
    memset(header->frontGuard, kGuardByte, kGuardSize);
    memset(address, kFillByte, size);
    memset(address + size, kGuardByte, kGuardSize);
    header->magic = kLiveMagic;
    header->size = size;
    header->tag = tag;
    header->poolType = static_cast<uint32_t>(type);

    std::lock_guard<std::mutex> guard(g_lock);
    header->serial = g_nextSerial++;
    g_live[address] = Record{size, tag, static_cast<int>(type), header->serial, owner};
    g_liveBytes += size;
    g_peak.blocks = std::max(g_peak.blocks, g_live.size());
    g_peak.bytes = std::max(g_peak.bytes, g_liveBytes);
    return address;
}

// The block that contains `address` (not at its start), for a clearer report.
std::string ContainingLocked(const void *address)
{
    for (const auto &[start, record] : g_live) {
        auto *begin = static_cast<const char *>(start);
        if (address > start && static_cast<const char *>(address) < begin + record.size) {
            char text[64];
            snprintf(text, sizeof(text), " (it lies %zu bytes into ",
                     (size_t)(static_cast<const char *>(address) - begin));
            return text + Describe(start, record) + ")";
        }
    }
    return "";
}

void Free(PVOID address, uint32_t tag, bool checkTag, const char *routine)
{
    if (ke::CurrentIrql() > DISPATCH_LEVEL) {
        verifier::Report(verifier::Rule::InvalidParameter, "%s at IRQL %d", routine,
                         ke::CurrentIrql());
    }
    size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto live = g_live.find(address);
        if (live != g_live.end()) {
            size = live->second.size;
        }
    }
    if (size > 0) {
        // Before the memory goes: nothing may stay queued in it, and locks learned in
        // it must not pass their history to the next block at that address.
        ke::CheckNoDeferredWorkIn(address, size, routine);
        ke::ForgetLocksIn(address, size);
    }

    std::lock_guard<std::mutex> guard(g_lock);
    auto live = g_live.find(address);
    if (live == g_live.end()) {
        if (g_quarantined.count(address) != 0) {
            verifier::Report(verifier::Rule::PoolDoubleFree, "%s of %p, which was already freed",
                             routine, address);
        } else {
            verifier::Report(verifier::Rule::InvalidParameter, "%s of %p, which is not a pool block%s",
                             routine, address, ContainingLocked(address).c_str());
        }
        return;
    }
    Record record = std::move(live->second);
    g_live.erase(live);
    g_liveBytes -= record.size;
    CheckGuardsLocked(address, record, routine);
    if (checkTag && tag != record.tag) {
        verifier::Report(verifier::Rule::InvalidParameter, "%s with tag '%s' of %s", routine,
                         TagText(tag).c_str(), Describe(address, record).c_str());
    }

    Header *header = HeaderOf(address);
    header->magic = kFreedMagic;
    memset(address, kPoisonByte, record.size);
    g_quarantine.push_back({address, record.size});
    g_quarantined.insert(address);
    g_quarantineBytes += record.size;
    while (g_quarantine.size() > kQuarantineBlocks || g_quarantineBytes > kQuarantineBytes) {
        Quarantined oldest = g_quarantine.front();
        g_quarantine.pop_front();
        g_quarantined.erase(oldest.address);
        g_quarantineBytes -= oldest.size;
        std::free(HeaderOf(oldest.address));
    }
}

std::vector<std::pair<const void *, Record>> SortedLocked()
{
    std::vector<std::pair<const void *, Record>> blocks(g_live.begin(), g_live.end());
    std::sort(blocks.begin(), blocks.end(),
              [](const auto &a, const auto &b) { return a.second.serial < b.second.serial; });
    return blocks;
}

}  // namespace

std::vector<PoolBlock> Outstanding()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<PoolBlock> blocks;
    for (const auto &[address, record] : SortedLocked()) {
        blocks.push_back(PoolBlock{address, record.size, record.tag, record.serial, record.owner,
                                   record.poolType});
    }
    return blocks;
}

size_t OutstandingCount()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_live.size();
}

size_t OutstandingBytes()
{
    std::lock_guard<std::mutex> guard(g_lock);
    size_t bytes = 0;
    for (const auto &entry : g_live) {
        bytes += entry.second.size;
    }
    return bytes;
}

size_t CheckNoLeaks(const char *where)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto blocks = SortedLocked();
    for (const auto &[address, record] : blocks) {
        CheckGuardsLocked(address, record, where);
        verifier::Report(verifier::Rule::PoolLeak, "%s: %s was never freed", where,
                         Describe(address, record).c_str());
        g_abandoned.push_back(HeaderOf(address));
    }
    g_live.clear();
    g_liveBytes = 0;
    return blocks.size();
}

void *AllocateFor(const char *owner, size_t size, uint32_t tag, bool fallible)
{
    return Allocate(NonPagedPool, size, tag, owner, fallible);
}

PoolPeak Peak()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_peak;
}

void ResetPoolPeak()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_peak = PoolPeak{g_live.size(), g_liveBytes};
}

bool IsLiveBlock(const void *p)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_live.count(p) != 0;
}

void ResetPool()
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto &entry : g_live) {
        g_abandoned.push_back(HeaderOf(entry.first));
    }
    g_live.clear();
    for (const auto &block : g_quarantine) {
        std::free(HeaderOf(block.address));
    }
    g_quarantine.clear();
    g_quarantined.clear();
    g_quarantineBytes = 0;
    g_nextSerial = 1;
    g_liveBytes = 0;
    g_peak = {};
}

}  // namespace sim::ex

using namespace sim;

extern "C" {

// A block a driver image allocates is owned by "driver" and the image routine that
// asked for it, so that a leak report says where the block came from.
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) noexcept
{
    const std::string caller = io::ImageCaller();
    return ex::Allocate(PoolType, NumberOfBytes, ex::kUntagged,
                        caller.empty() ? "driver" : ("driver, from " + caller).c_str(), true);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) noexcept
{
    const std::string caller = io::ImageCaller();
    return ex::Allocate(PoolType, NumberOfBytes, Tag, caller.empty() ? "driver" : ("driver, from " + caller).c_str(),
                        true);
}

VOID ExFreePool(PVOID P) noexcept
{
    ex::Free(P, 0, false, "ExFreePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) noexcept
{
    ex::Free(P, Tag, true, "ExFreePoolWithTag");
}

}  // extern "C"
