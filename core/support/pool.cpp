#include "core/support/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <deque>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "core/support/slab.hpp"

namespace kivet {

struct Pool::Worker {
  std::mutex mutex;
  std::deque<Task*> tasks;
  std::thread thread;
};

namespace {

// The pool the current thread works for, and its index there.
thread_local Pool* t_pool = nullptr;
thread_local unsigned t_index = 0;

// The process-wide pool. Never destroyed: its workers may still sleep while
// the process exits. After fork() the child forgets it (its threads do not
// exist there) and makes a fresh one on first use.
std::atomic<Pool*> g_shared{nullptr};
alignas(std::mutex) unsigned char g_shared_mutex_storage[sizeof(std::mutex)];
std::mutex* g_shared_mutex = new (g_shared_mutex_storage) std::mutex;

void forget_pool_in_child() {
  g_shared.store(nullptr);
  g_shared_mutex = new (g_shared_mutex_storage) std::mutex;
  t_pool = nullptr;
}

unsigned available_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return unsigned(n);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

}  // namespace

void prepare_thread() noexcept {
  // Reads the exception state, so the runtime sets it up now; volatile
  // because the function is declared pure.
  [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
  // Through a volatile read, so the access (and the block's allocation) stays.
  (void)*static_cast<Pool* volatile*>(&t_pool);
}

Pool::Pool() : injector_(std::make_unique<Worker>()) {}

Pool::~Pool() { stop_and_join(); }

Pool& Pool::shared() {
  if (Pool* p = g_shared.load(std::memory_order_acquire)) return *p;
  std::lock_guard lock(*g_shared_mutex);
  if (Pool* p = g_shared.load(std::memory_order_relaxed)) return *p;
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    return true;
  }();
  (void)registered;
  auto* pool = new Pool();
  try {
    pool->start(available_processors());
  } catch (const std::system_error&) {
    // Fewer workers than processors still make progress: waiting callers run
    // tasks themselves, even with none started.
  }
  g_shared.store(pool, std::memory_order_release);
  return *pool;
}

Result<std::unique_ptr<Pool>> Pool::create(uint64_t workers) {
  if (workers == 0 || workers > kMaxWorkers)
    return fail(cat("cannot build a pool of ", workers, " workers: between 1 and ",
                    kMaxWorkers, " are possible"));
  std::unique_ptr<Pool> pool(new Pool());
  try {
    pool->start(unsigned(workers));
  } catch (const std::system_error& e) {
    return fail(cat("cannot build a pool of ", workers, " workers: ", e.what()));
  }
  return pool;
}

void Pool::start(unsigned workers) {
  workers_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) workers_.push_back(std::make_unique<Worker>());
  for (unsigned i = 0; i < workers; ++i) {
    try {
      workers_[i]->thread = std::thread([this, i] { worker_loop(i); });
    } catch (...) {
      // Keep the workers that started; the rest never existed.
      workers_.resize(i);
      throw;
    }
  }
}

void Pool::stop_and_join() {
  {
    std::lock_guard lock(sleep_mutex_);
    stopping_ = true;
  }
  sleep_cv_.notify_all();
  for (auto& w : workers_)
    if (w->thread.joinable()) w->thread.join();
  // Tasks left in the queues belong to groups whose waiters run them; a
  // destroyed pool has none, since every group is waited before.
}

void Pool::worker_loop(unsigned index) {
  prepare_thread();
  t_pool = this;
  t_index = index;
  while (true) {
    if (Task* t = take()) {
      execute(t);
      continue;
    }
    // After a failure for want of memory, the blocks this worker keeps must
    // not hold on to regions the system could have back.
    slab::trim();
    std::unique_lock lock(sleep_mutex_);
    sleepers_.fetch_add(1);
    sleep_cv_.wait(lock, [&] { return stopping_ || queued_.load() > 0; });
    sleepers_.fetch_sub(1);
    if (stopping_ && queued_.load() == 0) return;
  }
}

void Pool::push(Task* task) {
  Worker& q = t_pool == this ? *workers_[t_index] : *injector_;
  {
    std::lock_guard lock(q.mutex);
    q.tasks.push_back(task);
  }
  queued_.fetch_add(1);
  // Paired with the sleepers' increment before they test queued_: one of the
  // two sees the other, so a wake-up is never lost.
  if (sleepers_.load() > 0) {
    std::lock_guard lock(sleep_mutex_);
    sleep_cv_.notify_one();
  }
}

Pool::Task* Pool::take() {
  auto pop = [this](Worker& w, bool back) -> Task* {
    std::lock_guard lock(w.mutex);
    if (w.tasks.empty()) return nullptr;
    Task* t;
    if (back) {
      t = w.tasks.back();
      w.tasks.pop_back();
    } else {
      t = w.tasks.front();
      w.tasks.pop_front();
    }
    queued_.fetch_sub(1);
    return t;
  };
  if (queued_.load() == 0) return nullptr;
  bool mine = t_pool == this;
  if (mine)
    if (Task* t = pop(*workers_[t_index], true)) return t;
  if (Task* t = pop(*injector_, false)) return t;
  size_t n = workers_.size();
  size_t start = mine ? t_index + 1 : 0;
  for (size_t k = 0; k < n; ++k) {
    size_t i = (start + k) % n;
    if (mine && i == t_index) continue;
    if (Task* t = pop(*workers_[i], false)) return t;
  }
  return nullptr;
}

void Pool::execute(Task* task) {
  TaskGroup* group = task->group;
  if (!group->failed()) {
    try {
      CancelScope scope(task->cancel);
      task->fn();
    } catch (...) {
      group->record(std::current_exception());
    }
  }
  delete task;
  group->finish_one();
}

void Pool::notify_all() {
  std::lock_guard lock(sleep_mutex_);
  sleep_cv_.notify_all();
}

TaskGroup::~TaskGroup() {
  try {
    wait();
  } catch (...) {
    // Only reached when the owner already unwinds; the first error is theirs.
  }
}

void TaskGroup::record(std::exception_ptr e) {
  std::lock_guard lock(error_mutex_);
  if (!error_) error_ = std::move(e);
  failed_.store(true, std::memory_order_relaxed);
}

void TaskGroup::finish_one() {
  // The waiter may destroy the group as soon as pending_ reaches zero.
  Pool* pool = pool_;
  if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pool->notify_all();
}

void TaskGroup::wait() {
  while (pending_.load(std::memory_order_acquire) > 0) {
    if (Pool::Task* t = pool_->take()) {
      pool_->execute(t);
      continue;
    }
    // A waiter that owns a cancel flag wakes to run its check while the
    // last tasks finish; raising the flag stops them at their next poll.
    (void)cancel_requested(true);
    std::unique_lock lock(pool_->sleep_mutex_);
    pool_->sleepers_.fetch_add(1);
    pool_->sleep_cv_.wait_for(lock, CancelFlag::kCheckInterval, [&] {
      return pending_.load(std::memory_order_acquire) == 0 || pool_->queued_.load() > 0;
    });
    pool_->sleepers_.fetch_sub(1);
  }
  std::exception_ptr e;
  {
    std::lock_guard lock(error_mutex_);
    e = std::exchange(error_, nullptr);
  }
  if (e) std::rethrow_exception(e);
}

}  // namespace kivet
