// Cooperative cancellation of long work.
//
// A thread that may want to stop a computation raises a CancelFlag it has
// installed for the computing thread with a CancelScope. Long loops call
// poll_cancel(), which throws Cancelled once the flag is raised; tasks on the
// pool carry the flag of the thread that spawned them. Without a scope,
// polling costs one thread-local read and never throws.
//
// Cancelled is not a std::exception, so no handler for real failures takes
// it by mistake. Work that throws it leaves its inputs unchanged (they are
// const) and its partial results to unwinding.
#pragma once

#include <atomic>

namespace kivet {

struct Cancelled {};

class CancelFlag {
 public:
  void raise() noexcept { raised_.store(true, std::memory_order_relaxed); }
  bool raised() const noexcept { return raised_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> raised_{false};
};

// The flag installed for the calling thread, or null.
const CancelFlag* current_cancel() noexcept;

// Installs `flag` for the calling thread until the scope ends.
class CancelScope {
 public:
  explicit CancelScope(const CancelFlag* flag) noexcept;
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  const CancelFlag* previous_;
};

// Throws Cancelled when the calling thread's flag is raised.
inline void poll_cancel() {
  const CancelFlag* f = current_cancel();
  if (f && f->raised()) throw Cancelled{};
}

}  // namespace kivet
