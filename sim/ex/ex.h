// The host executive's pool as the rest of sim/ sees it: every block is tracked with
// its tag, size and owner, and carries guard bytes that ExFreePool checks.
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

// True when p is the start of a live pool block.
bool IsLiveBlock(const void *p);

// Drops every record (between tests, after CheckNoLeaks).
void ResetPool();

}  // namespace sim::ex
