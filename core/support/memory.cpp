#include "core/support/memory.hpp"

#include <unistd.h>

#include <cstdio>

namespace kivet {

uint64_t installed_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  const uint64_t p = uint64_t(pages), s = uint64_t(page);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

uint64_t available_memory_bytes() {
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[128];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f))
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(f);
    if (found) return uint64_t(kib) * 1024;
  }
  return installed_memory_bytes();
}

}  // namespace kivet
