#include "core/support/cancel.hpp"

namespace kivet {

namespace {
thread_local const CancelFlag* t_cancel = nullptr;
}  // namespace

const CancelFlag* current_cancel() noexcept { return t_cancel; }

CancelScope::CancelScope(const CancelFlag* flag) noexcept : previous_(t_cancel) {
  t_cancel = flag;
}

CancelScope::~CancelScope() { t_cancel = previous_; }

}  // namespace kivet
