// How much memory the machine has, for refusing results that cannot be held
// before any of them is built (overcommitting kernels would otherwise let a
// huge allocation succeed and kill the process when it is touched).
#pragma once

#include <cstdint>

namespace kivet {

// Physical memory in bytes; UINT64_MAX when the system does not say.
uint64_t installed_memory_bytes();

// Memory the system can still hand out: MemAvailable where the kernel
// reports it, else installed_memory_bytes().
uint64_t available_memory_bytes();

}  // namespace kivet
