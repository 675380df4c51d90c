#include "binding/long_work.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "binding/python.hpp"
#include "runtime/blocking.hpp"

namespace quarn::binding {

#ifndef Py_GIL_DISABLED

namespace {

// Shutting down with a thread still inside a long stretch of work.
//
// An interpreter before 3.14 ends a thread that asks for the lock back once
// finalisation has begun (one of the daemon threads, say) with pthread_exit.
// Its unwinding would have to pass the C++ frames between the guard and the
// caller, which it cannot, and the whole process would stop in
// std::terminate. So no such thread may be waiting for the lock through us
// then: an exit handler of the main interpreter, which runs after the
// non-daemon threads have been joined and before finalisation begins,
// closes the door and lets those already waiting through. A thread that was
// at work before that and comes back later is parked for good instead, as
// later interpreters park it themselves; the process is about to end. The
// main thread, which finalises (and may still compute in finalisers), and
// threads that first let go of the lock only after the door closed (started
// by a later exit handler, say) pass as before.
std::atomic<bool> closing{false};
// Threads between deciding to take the lock back and having it.
std::atomic<int> waiting{0};
// The interpreter's main thread.
std::atomic<unsigned long> main_thread_ident{0};

// Whether this thread first let go of the lock before the door closed.
thread_local bool seen = false;
thread_local bool seen_before_closing = false;

[[noreturn]] void park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void* release() {
  if (!seen) {
    seen = true;
    seen_before_closing = !closing.load();
  }
  return PyEval_SaveThread();
}

void reacquire(void* state) {
  // Announce first, look second; the exit handler does the opposite, so one
  // of the two always sees the other (both sequentially consistent).
  waiting.fetch_add(1);
  if (closing.load() && seen_before_closing && PyThread_get_thread_ident() != main_thread_ident.load()) {
    waiting.fetch_sub(1);
    park();
  }
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
  waiting.fetch_sub(1);
}

constexpr LongWorkHooks kHooks{release, reacquire};

PyObject* close_at_exit(PyObject*, PyObject*) {
  closing.store(true);
  if (waiting.load() != 0) {
    Py_BEGIN_ALLOW_THREADS
    while (waiting.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef close_at_exit_def = {"close_at_exit", close_at_exit, METH_NOARGS, nullptr};

// Only the forking thread lives on in a child, and it holds the lock.
void forget_waiters_in_child() { waiting.store(0); }

}  // namespace

int install_lock_release() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  if (!threading) return -1;
  PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return -1;
  PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return -1;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  main_thread_ident.store(value);

  // A subinterpreter's exit handlers run when it ends, not the process.
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    PyRef handler = PyRef::steal(PyCFunction_New(&close_at_exit_def, nullptr));
    if (!handler) return -1;
    PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
    if (!registered) return -1;
  }

  static std::once_flag fork_handler;
  std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_waiters_in_child); });
  install_long_work_hooks(&kHooks);
  return 0;
}

#else

int install_lock_release() { return 0; }

#endif

}  // namespace quarn::binding
