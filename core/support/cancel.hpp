// Cooperative cancellation of long work.
//
// A CancelFlag is installed for a thread with a CancelScope; long loops call
// poll_cancel(), which throws Cancelled once the flag is raised. Tasks on the
// pool carry the flag of the thread that spawned them. The owning thread (the
// one whose scope says so) also runs the flag's check, at most every
// kCheckInterval: a caller-supplied function that decides whether to stop (a
// binding checks for pending signals there). Without a scope, polling costs
// one thread-local read and never throws.
//
// Cancelled is not a std::exception, so no handler for real failures takes
// it by mistake. Work that throws it leaves its inputs unchanged (they are
// const) and its partial results to unwinding.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kivet {

struct Cancelled {};

class CancelFlag {
 public:
  using Check = bool (*)(void* context);
  static constexpr std::chrono::milliseconds kCheckInterval{20};

  CancelFlag() = default;
  // `check(context)` is called on the owning thread; true raises the flag.
  CancelFlag(Check check, void* context) : check_(check), context_(context) {}
  CancelFlag(const CancelFlag&) = delete;
  CancelFlag& operator=(const CancelFlag&) = delete;

  void raise() noexcept { raised_.store(true, std::memory_order_relaxed); }
  bool raised() const noexcept { return raised_.load(std::memory_order_relaxed); }

  // Runs the check when it is due; `now` skips the spacing of clock reads.
  // Owning thread only.
  void check_if_due(bool now) noexcept;

 private:
  std::atomic<bool> raised_{false};
  Check check_ = nullptr;
  void* context_ = nullptr;
  uint32_t countdown_ = 1;  // polls until the clock is read again
  std::chrono::steady_clock::time_point next_{};
};

// Installs `flag` for the calling thread until the scope ends; `owner` makes
// this thread the one that runs the flag's check.
class CancelScope {
 public:
  CancelScope(CancelFlag* flag, bool owner) noexcept;
  // For a pool task: the thread keeps ownership when it already owns `flag`
  // (the owner helping with its own tasks while it waits).
  explicit CancelScope(CancelFlag* flag) noexcept;
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  CancelFlag* previous_;
  bool previous_owner_;
};

// The flag installed for the calling thread, or null.
CancelFlag* current_cancel() noexcept;

// Whether the calling thread's flag is raised, running its check first when
// this thread owns it and the check is due (`now`: read the clock at once,
// for a caller that polls seldom). Never throws.
bool cancel_requested(bool now = false) noexcept;

// Throws Cancelled when cancel_requested().
inline void poll_cancel() {
  if (cancel_requested()) throw Cancelled{};
}

}  // namespace kivet
