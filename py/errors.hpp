// The one translation point between the core and CPython.
//
// Every entry point is `return guard([&] { ... return Ref; });`. Inside, a core
// Result is unwrapped with ok(): an Error becomes ValueError with exactly its
// text. std::bad_alloc becomes MemoryError, a Python error already set passes
// through, and no C++ exception crosses into the interpreter.
#pragma once

#include <chrono>
#include <new>
#include <stdexcept>

#include "core/error.hpp"
#include "core/support/pool.hpp"
#include "py/ref.hpp"

namespace kivet::py {

[[noreturn]] inline void raise(PyObject* type, const std::string& text) {
  // By length: a message may quote a NUL byte of the input.
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
  if (message) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  throw PyError{};
}

[[noreturn]] inline void raise(const Error& e) { raise(PyExc_ValueError, e.text()); }

template <class T>
T ok(Result<T>&& r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

inline void ok(Result<void>&& r) {
  if (!r) raise(r.error());
}

template <class F>
PyObject* guard(F&& f) noexcept {
  prepare_thread();
  try {
    return f().release();
  } catch (const PyError&) {
    return nullptr;
  } catch (const Cancelled&) {
    // Only interruptible() raises the flag, and it raises the handler's
    // exception itself; this is a safety net.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "interrupted");
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::length_error&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

// Runs pending signal handlers (raising as they did) and lets threads waiting
// for the interpreter lock have it. The lock is let go only once a waiting
// thread has surely asked for it (twice the switch interval since the last
// hand-over): letting it go more often wakes the waiter, which finds it taken
// again and restarts its wait, never getting a turn.
inline void hand_over_lock() {
  using Clock = std::chrono::steady_clock;
  thread_local Clock::time_point last = Clock::now();
  thread_local Clock::duration pace = std::chrono::milliseconds(10);
  if (PyErr_CheckSignals() < 0) throw PyError{};
  if (Clock::now() - last < pace) return;
  double interval = 0.005;
  if (PyObject* f = PySys_GetObject("getswitchinterval")) {
    PyObject* v = PyObject_CallNoArgs(f);
    double d = v ? PyFloat_AsDouble(v) : -1.0;
    Py_XDECREF(v);
    if (d > 0 && d < 1.0) interval = d;
  }
  PyErr_Clear();  // an unusable sys.getswitchinterval leaves the default
  pace = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(2 * interval));
  Py_BEGIN_ALLOW_THREADS
  Py_END_ALLOW_THREADS
  last = Clock::now();
}

// For loops building many Python objects, called with the item's index:
// every `period` items (a power of two; fewer for costly items), hands the
// lock over as above.
inline void share_lock(size_t i, size_t period = size_t(1) << 16) {
  if ((i & (period - 1)) == period - 1) hand_over_lock();
}

// Releases the interpreter lock for a scope. Touch no Python object inside.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace kivet::py
