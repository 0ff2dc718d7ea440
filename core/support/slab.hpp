// Small blocks for tree branches, without the general allocator's costs.
//
// Sizes up to kMaxBytes are rounded up to a multiple of 8; each size has its
// own free lists. A thread keeps two short lists per size and trades whole
// batches with one shared depot under a mutex, so blocks freed on one thread
// (trees are built on pool workers and dropped on the caller's) are reused by
// the others, and a thread that ends hands its lists back. Blocks are reused
// in the order they were freed, which keeps a tree built after one freed as
// compact in memory as the first. New blocks are cut in address order from
// 2 MiB regions mapped from the system, all pages at once; when
// none can be mapped, allocate() throws std::bad_alloc, as operator new would.
//
// Freed blocks stay with the allocator for reuse by any thread at the same
// size: peak use is what the largest set of live blocks needed, plus a few
// batches per thread and size. Once a region cannot be mapped, the regions
// whose blocks have all come back are returned to the system, and threads
// that go idle or end hand over their lists first (so that a failed build
// leaves the process its memory), until mapping succeeds again.
//
// Larger sizes go straight to ::operator new / ::operator delete.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivet::slab {

inline constexpr size_t kMaxBytes = 384;

// A block of at least `bytes`, 8-byte aligned. Throws std::bad_alloc.
void* allocate(size_t bytes);

// Gives back a block from allocate(bytes), with the same `bytes`.
void deallocate(void* p, size_t bytes) noexcept;

// Under memory pressure, hands the calling thread's free blocks to the depot
// and returns the regions wholly free to the system; else does nothing. For
// threads about to idle after a failure, and for callers whose work failed.
void trim() noexcept;

// Bytes of the regions held now, their blocks live or free.
uint64_t reserved_bytes() noexcept;

}  // namespace kivet::slab
