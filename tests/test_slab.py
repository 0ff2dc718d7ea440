"""The branch allocator, driven by a native program: blocks do not overlap,
memory freed on one thread is reused by others, threads that end hand theirs
back, running out of memory is std::bad_alloc and gives whole free regions
back to the system, and a forked child can allocate."""
import subprocess

from native import build

PROGRAM = r"""
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "core/support/slab.hpp"

using namespace kivet;

#define CHECK(c) do { if (!(c)) { std::printf("failed: %s (line %d)\n", #c, __LINE__); std::exit(1); } } while (0)

struct Block { void* p; size_t bytes; };

std::vector<Block> make(size_t n, size_t seed) {
  std::vector<Block> v;
  v.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    size_t bytes = 1 + (i * 7919 + seed) % 300;  // some beyond the small sizes
    auto* p = static_cast<unsigned char*>(slab::allocate(bytes));
    std::memset(p, int(i & 255), bytes);
    v.push_back({p, bytes});
  }
  return v;
}

void check_and_free(const std::vector<Block>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    auto* p = static_cast<unsigned char*>(v[i].p);
    for (size_t j = 0; j < v[i].bytes; ++j) CHECK(p[j] == (i & 255));
  }
  for (const Block& b : v) slab::deallocate(b.p, b.bytes);
}

long vm_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0;
  CHECK(std::fscanf(f, "%ld", &pages) == 1);
  std::fclose(f);
  return pages * sysconf(_SC_PAGESIZE);
}

// Under an address-space cap: a fresh thread runs out (std::bad_alloc on its
// first exception), and once its blocks are freed elsewhere their regions are
// the system's again. Run first, in a child, while no block of any size is
// free anywhere.
void run_out() {
  long cap = vm_bytes() + (256l << 20);
  rlimit limit{rlim_t(cap), rlim_t(cap)};
  CHECK(setrlimit(RLIMIT_AS, &limit) == 0);
  for (int round = 0; round < 2; ++round) {
    std::vector<void*> held;
    held.reserve(8000000);
    bool failed = false, small = false;
    std::thread([&] {
      try {
        for (;;) held.push_back(slab::allocate(120));
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      // A smaller block may fit where the last region ended, but that
      // region is no longer this thread's to cut.
      try {
        held.push_back(slab::allocate(32));
        small = true;
      } catch (const std::bad_alloc&) {
      }
    }).join();
    CHECK(failed);
    for (size_t i = 0; i < held.size(); ++i)
      slab::deallocate(held[i], small && i + 1 == held.size() ? 32 : 120);
    std::vector<void*>().swap(held);
    // The freed regions can be mapped again by anyone: 192 MiB of plain heap.
    void* big = std::malloc(192u << 20);
    CHECK(big != nullptr);
    std::memset(big, 1, 192u << 20);
    std::free(big);
  }
}

int main() {
  pid_t child = fork();
  if (child == 0) {
    run_out();
    _exit(0);
  }
  int child_status = 0;
  waitpid(child, &child_status, 0);
  CHECK(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);

  // Blocks of all sizes stay apart; freed on another thread, they are reused.
  std::vector<Block> v;
  std::thread([&] { v = make(200000, 1); }).join();
  check_and_free(v);
  uint64_t first = slab::reserved_bytes();
  CHECK(first > 0);
  for (int round = 0; round < 5; ++round) {
    std::thread([&] { v = make(200000, 1); }).join();
    std::thread([&] { check_and_free(v); }).join();
  }
  CHECK(slab::reserved_bytes() <= first + (4u << 20));

  // Many short threads, each keeping a few blocks of every size when it ends.
  uint64_t before = slab::reserved_bytes();
  for (int i = 0; i < 300; ++i)
    std::thread([] { check_and_free(make(2000, 3)); }).join();
  CHECK(slab::reserved_bytes() <= before + (4u << 20));

  // A forked child allocates and frees while its parent's threads do too.
  std::atomic<bool> stop{false};
  std::thread busy([&] { while (!stop) check_and_free(make(1000, 5)); });
  for (int i = 0; i < 20; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      check_and_free(make(100000, 7));
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  busy.join();

  std::printf("ok\n");
}
"""


def test_slab_behaviour(tmp_path):
    exe = build(tmp_path, PROGRAM, ["core/support/slab.cpp"])
    out = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert out.stdout.splitlines() == ["ok"], out.stdout + out.stderr
    assert out.returncode == 0
