// A work-stealing fork-join thread pool.
//
// Each worker owns a deque: it pushes and pops its own tasks at the back,
// idle threads steal from the front; threads outside the pool submit through
// an injection queue. A thread waiting for a TaskGroup runs queued tasks
// (its own first, then stolen ones) until the group is done, so tasks may
// spawn and wait on subtasks without deadlock. Idle workers sleep on a
// condition variable; nothing spins.
//
// Pool::shared() is the process-wide pool: created on first use with one
// worker per available processor, never destroyed; a child process after
// fork() gets a fresh one on its first use (the parent's workers do not exist
// there). Pool::create(k) builds a dedicated pool of k workers, joined by its
// destructor.
//
// Exceptions (std::bad_alloc) thrown by a task are caught in the worker; the
// first one is rethrown by TaskGroup::wait() on the waiting thread, and tasks
// of that group not yet started are skipped.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/support/cancel.hpp"

namespace kivet {

class TaskGroup;

// Sets up the calling thread's exception state and this library's
// thread-local data, once per thread, cheaply after. Both are allocated
// lazily on first use; when the first use is throwing std::bad_alloc, that
// allocation fails too and the runtime ends the process. Call it at every
// entry and thread start, before any large allocation.
void prepare_thread() noexcept;

class Pool {
 public:
  // A dedicated pool may have at most this many workers.
  static constexpr uint64_t kMaxWorkers = 1024;

  static Pool& shared();
  // Exactly `workers` threads, or the reason they cannot be started:
  // "cannot build a pool of K workers: ...".
  [[nodiscard]] static Result<std::unique_ptr<Pool>> create(uint64_t workers);

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool();

  unsigned size() const { return unsigned(workers_.size()); }

 private:
  friend class TaskGroup;
  struct Task {
    std::function<void()> fn;
    TaskGroup* group;
    CancelFlag* cancel;  // the spawning thread's, installed while it runs
  };
  struct Worker;

  Pool();
  void start(unsigned workers);  // throws std::system_error
  void stop_and_join();
  void worker_loop(unsigned index);
  void push(Task* task);
  Task* take();
  void execute(Task* task);
  void notify_all();

  std::vector<std::unique_ptr<Worker>> workers_;
  std::unique_ptr<Worker> injector_;
  std::atomic<size_t> queued_{0};
  std::atomic<int> sleepers_{0};
  std::mutex sleep_mutex_;
  std::condition_variable sleep_cv_;
  bool stopping_ = false;
};

// Fork-join: spawn() queues a task, wait() returns when every spawned task
// has run (helping meanwhile) and rethrows the first task exception.
// A group must be waited before it is destroyed (the destructor waits too).
class TaskGroup {
 public:
  explicit TaskGroup(Pool& pool) : pool_(&pool) {}
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  ~TaskGroup();

  template <class F>
  void spawn(F&& f) {
    auto task = std::make_unique<Pool::Task>(std::function<void()>(std::forward<F>(f)), this,
                                             current_cancel());
    pending_.fetch_add(1, std::memory_order_relaxed);
    try {
      pool_->push(task.get());
    } catch (...) {
      // Not queued (out of memory): nothing will finish it, so wait() must
      // not count it.
      pending_.fetch_sub(1, std::memory_order_relaxed);
      throw;
    }
    task.release();
  }
  void wait();
  // A task of this group has thrown; long tasks may check it and stop early.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

 private:
  friend class Pool;
  void record(std::exception_ptr e);
  void finish_one();

  Pool* pool_;
  std::atomic<size_t> pending_{0};
  std::atomic<bool> failed_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;
};

// f(i) for every i in [0, n), one task each, the calling thread helping.
template <class F>
void parallel_for(Pool& pool, size_t n, F&& f) {
  if (n == 0) return;
  TaskGroup group(pool);
  for (size_t i = 1; i < n; ++i) group.spawn([&f, i] { f(i); });
  try {
    f(size_t{0});
  } catch (...) {
    group.wait();  // the tasks reference f; let them finish first
    throw;
  }
  group.wait();
}

// f(i) for every i in [0, n), the values in index order.
// REQUIRES: the result type is default-constructible and move-assignable.
template <class F>
auto parallel_map(Pool& pool, size_t n, F&& f) {
  using R = std::decay_t<std::invoke_result_t<F&, size_t>>;
  std::vector<R> out(n);
  parallel_for(pool, n, [&](size_t i) { out[i] = f(i); });
  return out;
}

// Splits [0, n) into contiguous chunks (a few per worker, so stealing evens
// out uneven costs) and returns f(lo, hi) of each chunk in index order.
// Concatenating the chunk results gives the sequential order.
template <class F>
auto parallel_chunks(Pool& pool, size_t n, F&& f) {
  size_t chunks = std::min<size_t>(n, size_t(pool.size() + 1) * 8);
  if (chunks == 0) chunks = 1;
  return parallel_map(pool, chunks, [&](size_t c) {
    return f(n * c / chunks, n * (c + 1) / chunks);
  });
}

// The failure at the lowest index of a parallel evaluation, whichever task
// meets it first: the error a caller sees never depends on scheduling. Tasks
// walk their ranges upwards and stop once they pass a recorded failure.
class FirstFailure {
 public:
  void record(size_t index, std::string message) {
    std::lock_guard lock(mutex_);
    if (index < lowest_.load(std::memory_order_relaxed)) {
      message_ = std::move(message);
      lowest_.store(index, std::memory_order_relaxed);
    }
  }
  // A failure at or below `index` is known: nothing from `index` on matters.
  bool stopped(size_t index) const {
    return lowest_.load(std::memory_order_relaxed) <= index;
  }
  std::optional<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::move(message_);
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> message_;
  std::atomic<size_t> lowest_{SIZE_MAX};
};

}  // namespace kivet
