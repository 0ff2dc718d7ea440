// How much memory the machine has, for refusing results that cannot be held
// before any of them is built (overcommitting kernels would otherwise let a
// huge allocation succeed and kill the process when it is touched).
#pragma once

#include <cstdint>

namespace kivet {

// Physical memory in bytes; UINT64_MAX when the system does not say.
uint64_t installed_memory_bytes();

// Memory the system can still hand out (MemAvailable where the kernel
// reports it), else the installed memory.
uint64_t available_memory_bytes();

// Whether `count` items of `item_bytes` each can be held now. Requests under
// 64 MiB are answered without asking the system; no overflow.
bool fits_in_memory(uint64_t count, uint64_t item_bytes);

// Throws std::bad_alloc (MemoryError at the boundary) unless they fit.
void ensure_memory(uint64_t count, uint64_t item_bytes);

}  // namespace kivet
