// The host executive as the rest of sim/ sees it: the pool, where every block is
// tracked with its tag, size and owner and carries guard bytes that ExFreePool
// checks, and the system worker threads that run work items.
#pragma once

#include "kernel/kernel.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::ex {

struct PoolBlock {
    const void *address;
    size_t size;
    uint32_t tag;
    uint64_t serial;       // allocation order, from 1
    std::string owner;     // "driver" or the platform routine that allocated it for the driver
    int poolType;          // the POOL_TYPE asked for (NonPagedPool, PagedPool, ...)
};

// Blocks allocated and not yet freed.
std::vector<PoolBlock> Outstanding();
size_t OutstandingCount();
size_t OutstandingBytes();
// Reports PoolLeak for every outstanding block (with `where` in the message) and
// forgets them; returns how many there were.
size_t CheckNoLeaks(const char *where);

// Allocation on behalf of the driver by a platform routine (IoRegisterDeviceInterface's
// link name, for example): the block is the driver's to free, and the owner names
// the routine in leak reports. Honours the low-resources simulation as "ExAllocatePool"
// only when `fallible` is true.
void *AllocateFor(const char *owner, size_t size, uint32_t tag, bool fallible);

// The most blocks and bytes live at once since the pool was reset or ResetPoolPeak()
// (which starts again from what is live now): an endurance run's high-water mark.
struct PoolPeak {
    size_t blocks = 0;
    size_t bytes = 0;
};
PoolPeak Peak();
void ResetPoolPeak();

// True when p is the start of a live pool block.
bool IsLiveBlock(const void *p);

// Drops every record (between tests, after CheckNoLeaks). Blocks still live are
// given up, not freed: a platform thread may still hold a pointer into one.
void ResetPool();

// ---- system worker threads (work items run there at PASSIVE_LEVEL)
// Starts `count` worker threads with an empty work queue; stops them once the queue
// has drained (ke::WaitIdle first when the items must all run).
void StartWorkers(int count);
void StopWorkers();

}  // namespace sim::ex
