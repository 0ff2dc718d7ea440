"""The fork-join pool, driven by a native program: nested waits, index order,
exceptions reaching the caller, dedicated pools and their limits, fork."""
import subprocess

import pytest

from native import build

PROGRAM = r"""
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <numeric>

#include "core/support/pool.hpp"

using namespace kivet;

#define CHECK(c) do { if (!(c)) { std::printf("FAIL %s:%d %s\n", __FILE__, __LINE__, #c); return 1; } } while (0)

// Sum of 0..n-1 by nested fork-join, `depth` levels of 8-way splits.
long nested(Pool& pool, long lo, long hi, int depth) {
  if (depth == 0) {
    long s = 0;
    for (long i = lo; i < hi; ++i) s += i;
    return s;
  }
  long step = (hi - lo) / 8;
  auto parts = parallel_map(pool, 8, [&](size_t i) {
    long a = lo + long(i) * step, b = i == 7 ? hi : a + step;
    return nested(pool, a, b, depth - 1);
  });
  return std::accumulate(parts.begin(), parts.end(), 0L);
}

int checks(Pool& pool) {
  CHECK(nested(pool, 0, 1 << 20, 4) == (1L << 20) * ((1L << 20) - 1) / 2);
  auto squares = parallel_map(pool, 10000, [](size_t i) { return i * i; });
  for (size_t i = 0; i < squares.size(); ++i) CHECK(squares[i] == i * i);
  auto chunks = parallel_chunks(pool, 100003, [](size_t lo, size_t hi) {
    std::vector<size_t> v;
    for (size_t i = lo; i < hi; ++i) v.push_back(i);
    return v;
  });
  size_t next = 0;
  for (auto& c : chunks)
    for (size_t i : c) CHECK(i == next++);
  CHECK(next == 100003);
  bool caught = false;
  try {
    parallel_for(pool, 64, [&](size_t i) {
      if (i == 37) throw std::bad_alloc();
      parallel_for(pool, 4, [](size_t) {});
    });
  } catch (const std::bad_alloc&) {
    caught = true;
  }
  CHECK(caught);
  FirstFailure failure;
  parallel_for(pool, 1000, [&](size_t i) {
    if (!failure.stopped(i) && i % 100 == 99) failure.record(i, "element " + std::to_string(i));
  });
  // The lowest index is kept, whichever task recorded first.
  auto message = failure.take();
  CHECK(message && *message == "element 99");
  CHECK(failure.stopped(99) && !failure.stopped(98));
  return 0;
}

int main() {
  CHECK(Pool::shared().size() >= 1);
  if (checks(Pool::shared())) return 1;
  for (uint64_t k : {2, 5}) {
    auto pool = Pool::create(k);
    CHECK(pool && (*pool)->size() == k);
    if (checks(**pool)) return 1;
  }
  for (uint64_t k : {uint64_t(0), uint64_t(1025), uint64_t(1) << 40}) {
    auto pool = Pool::create(k);
    CHECK(!pool);
    std::printf("%s\n", pool.error().text().c_str());
  }
  pid_t pid = fork();
  if (pid == 0) _exit(checks(Pool::shared()));
  int status = 0;
  waitpid(pid, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::printf("ok\n");
}
"""


def test_pool_behaviour(tmp_path):
    exe = build(tmp_path, PROGRAM, ["core/support/pool.cpp", "core/support/cancel.cpp",
                                    "core/support/slab.cpp",
                                    "core/error.cpp", "core/support/text.cpp"])
    out = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert out.stdout.splitlines() == [
        "cannot build a pool of 0 workers: between 1 and 1024 are possible",
        "cannot build a pool of 1025 workers: between 1 and 1024 are possible",
        "cannot build a pool of 1099511627776 workers: between 1 and 1024 are possible",
        "ok",
    ], out.stdout + out.stderr
    assert out.returncode == 0
