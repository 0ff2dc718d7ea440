// Long work off the interpreter lock, stoppable by a signal.
//
// interruptible(work) runs work() on the calling thread without the
// interpreter lock. The core polls a CancelFlag as it goes; every 20 ms the
// flag's check takes the interpreter lock briefly and runs pending signal
// handlers. When a handler raises (Ctrl-C), the flag stops the work (pool
// tasks included) and the handler's exception propagates; the work's inputs
// are left as they were. work() touches no Python object; its value is handed
// back as is, its C++ exceptions are rethrown once the lock is held again.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>

#include "core/support/cancel.hpp"
#include "py/errors.hpp"

namespace kivet::py {

namespace detail {

// Takes the interpreter lock back for a moment: true when a handler raised.
inline bool signal_raised(void* context) {
  auto* state = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*state);
  bool raised = PyErr_CheckSignals() < 0;
  *state = PyEval_SaveThread();
  return raised;
}

}  // namespace detail

template <class F>
auto interruptible(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::optional<R> result;
  std::exception_ptr error;
  PyThreadState* state = PyEval_SaveThread();
  CancelFlag flag(&detail::signal_raised, &state);
  {
    CancelScope scope(&flag, true);
    try {
      result.emplace(work());
    } catch (...) {
      error = std::current_exception();
    }
  }
  PyEval_RestoreThread(state);
  // The handler's exception (already set) wins over whatever the stopped
  // work produced.
  if (flag.raised()) throw PyError{};
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

}  // namespace kivet::py
