#include "core/support/memory.hpp"

#include <unistd.h>

namespace kivet {

uint64_t installed_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  const uint64_t p = uint64_t(pages), s = uint64_t(page);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

}  // namespace kivet
