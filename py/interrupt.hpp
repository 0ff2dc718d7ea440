// Long work off the interpreter lock, stoppable by a signal.
//
// interruptible(work) runs work() on a helper thread while the calling
// thread waits without the interpreter lock, waking every 20 ms to take it
// briefly and run pending signal handlers. When a handler raises (Ctrl-C),
// the work's CancelFlag is raised, the call waits for the work to stop and
// the handler's exception propagates; the work's inputs are left as they
// were. work() touches no Python object; its value is handed back as is, its
// C++ exceptions are rethrown on the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>

#include "core/support/cancel.hpp"
#include "core/support/pool.hpp"
#include "py/errors.hpp"

namespace kivet::py {

inline constexpr std::chrono::milliseconds kSignalPoll{20};

template <class F>
auto interruptible(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::optional<R> result;
    std::exception_ptr error;
    CancelFlag cancel;
  } st;
  auto body = [&] {
    prepare_thread();
    try {
      CancelScope scope(&st.cancel);
      st.result.emplace(work());
    } catch (...) {
      st.error = std::current_exception();
    }
    std::lock_guard lock(st.mutex);
    st.done = true;
    st.cv.notify_one();
  };
  bool interrupted = false;
  {
    PyThreadState* ts = PyEval_SaveThread();
    std::thread helper;
    try {
      helper = std::thread(body);
    } catch (const std::system_error&) {
      body();  // no thread to spare: run here, uninterruptible
    }
    {
      std::unique_lock lock(st.mutex);
      while (!st.cv.wait_for(lock, kSignalPoll, [&] { return st.done; })) {
        if (interrupted) continue;
        lock.unlock();
        PyEval_RestoreThread(ts);
        interrupted = PyErr_CheckSignals() < 0;
        ts = PyEval_SaveThread();
        if (interrupted) st.cancel.raise();
        lock.lock();
      }
    }
    if (helper.joinable()) helper.join();
    PyEval_RestoreThread(ts);
  }
  // The handler's exception wins over whatever the stopped work produced.
  if (interrupted) throw PyError{};
  if (st.error) std::rethrow_exception(st.error);
  return std::move(*st.result);
}

}  // namespace kivet::py
