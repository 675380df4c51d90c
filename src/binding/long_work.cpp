#include "binding/long_work.hpp"

#include <cxxabi.h>

#include <atomic>
#include <chrono>
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
// std::terminate. So such a thread is parked for good instead, as later
// interpreters park it themselves; the process is about to end.
//
// Only once finalisation has really begun: until then the exit handlers are
// still running, and one of them may be waiting for this very thread (a
// join, say), which must come back with its result. A thread that finds
// finalisation not yet begun and asks for the lock may still be caught
// waiting when it begins; the unwinding that pthread_exit starts then is
// stopped right here, in `reacquire`, and the thread parked there. The main
// thread, which finalises (and may still compute in finalisers), always
// passes.
std::atomic<unsigned long> main_thread_ident{0};

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

[[noreturn]] void park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void* release() { return PyEval_SaveThread(); }

void reacquire(void* state) {
  if (PyThread_get_thread_ident() == main_thread_ident.load()) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
    return;
  }
  if (finalizing()) park();
  try {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
  } catch (abi::__forced_unwind&) {
    // The interpreter is ending this thread (see above). Leaving this block
    // without rethrowing would abort the process, and rethrowing would end
    // in std::terminate at the first frame that cannot unwind: stay.
    park();
  }
}

constexpr LongWorkHooks kHooks{release, reacquire};

}  // namespace

int install_lock_release() {
  // A subinterpreter's threading module names the thread that made it; the
  // thread that finalises the process is the main interpreter's.
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    main_thread_ident.store(value);
  }
  install_long_work_hooks(&kHooks);
  return 0;
}

#else

int install_lock_release() { return 0; }

#endif

}  // namespace quarn::binding
