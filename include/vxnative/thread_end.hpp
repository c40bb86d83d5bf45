// Where a thread may be ended by the interpreter: when native work takes the
// interpreter's lock back, and when native code calls Python code, which may
// give the lock up. Before 3.14 the interpreter ends a daemon thread that asks
// for the lock while it finalizes with pthread_exit, which glibc carries out by
// unwinding the thread's C++ frames as an exception: a destructor on the way
// ends the process (std::terminate), the others release Python objects without
// the lock. Such a thread waits for the process's end instead, as 3.14 makes it.
#pragma once

#include <Python.h>

#include <chrono>
#include <thread>
#include <utility>

namespace vx {

[[noreturn]] inline void wait_for_the_process_end() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// `call()`, a C API call that may hand the interpreter's lock to another
// thread and ask for it back: a call of Python code, or taking the lock back
// itself. When the interpreter ends the thread in there, it waits for the
// process's end before the unwinding reaches native frames, whose objects it
// would release without the lock. The C API throws nothing of its own, so
// what is caught is the thread's end (a foreign exception to libc++,
// abi::__forced_unwind to libstdc++).
template <class Call> auto into_python(Call &&call) noexcept -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        wait_for_the_process_end();
    }
}

// PyEval_RestoreThread, which never unwinds: fit for a destructor.
inline void restore_thread(PyThreadState *state) noexcept {
    into_python([state] { PyEval_RestoreThread(state); });
}

// Native work without the interpreter's lock, for the guard's lifetime.
class ReleasedLock {
  public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock &) = delete;
    ReleasedLock &operator=(const ReleasedLock &) = delete;
    ~ReleasedLock() {
        if (state_)
            restore_thread(state_);
    }

    // Runs `step` with the lock taken back, then releases it again; when
    // `step` throws, the lock stays held.
    template <class Step> void with_lock(Step &&step) {
        restore_thread(std::exchange(state_, nullptr));
        step();
        state_ = PyEval_SaveThread();
    }

  private:
    PyThreadState *state_; // null while the lock is held
};

} // namespace vx
