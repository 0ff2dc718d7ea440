// Small blocks for tree branches, without the general allocator's costs.
//
// Sizes up to kMaxBytes are rounded up to a multiple of 8; each size has its
// own free list. A thread keeps a short list per size and trades whole
// batches with one shared depot under a mutex, so blocks freed on one thread
// (trees are built on pool workers and dropped on the caller's) are reused by
// the others, and a thread that ends hands its lists back. New blocks are cut
// in address order from 1 MiB regions got from ::operator new, so running out
// of memory is std::bad_alloc, as anywhere else.
//
// Memory once obtained stays with the allocator for reuse (by any thread, at
// the same size); it is not returned to the system. Peak use is what the
// largest set of live blocks needed, plus a few batches per thread and size.
//
// Larger sizes go straight to ::operator new / ::operator delete.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivet::slab {

inline constexpr size_t kMaxBytes = 256;

// A block of at least `bytes`, 8-byte aligned. Throws std::bad_alloc.
void* allocate(size_t bytes);

// Gives back a block from allocate(bytes), with the same `bytes`.
void deallocate(void* p, size_t bytes) noexcept;

// Bytes obtained from ::operator new for small blocks so far, live or free.
uint64_t reserved_bytes() noexcept;

}  // namespace kivet::slab
