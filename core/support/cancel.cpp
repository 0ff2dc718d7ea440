#include "core/support/cancel.hpp"

namespace kivet {

namespace {
thread_local CancelFlag* t_cancel = nullptr;
thread_local bool t_owner = false;
// Clock reads are spaced by this many polls: polls come per tree node.
constexpr uint32_t kPollsPerClockRead = 64;
}  // namespace

void CancelFlag::check_if_due(bool at_once) noexcept {
  if (!check_ || raised()) return;
  if (!at_once && --countdown_ != 0) return;
  countdown_ = kPollsPerClockRead;
  auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  next_ = now + kCheckInterval;
  if (check_(context_)) raise();
}

CancelScope::CancelScope(CancelFlag* flag, bool owner) noexcept
    : previous_(t_cancel), previous_owner_(t_owner) {
  t_cancel = flag;
  t_owner = owner;
}

CancelScope::CancelScope(CancelFlag* flag) noexcept
    : CancelScope(flag, t_owner && flag == t_cancel) {}

CancelScope::~CancelScope() {
  t_cancel = previous_;
  t_owner = previous_owner_;
}

CancelFlag* current_cancel() noexcept { return t_cancel; }

bool cancel_requested(bool now) noexcept {
  CancelFlag* f = t_cancel;
  if (!f) return false;
  if (t_owner) f->check_if_due(now);
  return f->raised();
}

}  // namespace kivet
