#pragma once

// How an object whose calls do long native work shares itself between Python
// threads: one call at a time under a lock that waits without holding the
// interpreter, and the work itself done detached from the interpreter, stepping
// back in only to hear of signals. GameBatch and GuidedSearch both use these.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <type_traits>

namespace tegulo::py {

// Serialises the calls made on one object. A thread that finds it busy waits
// detached from the interpreter, so the holder can take the interpreter back to
// finish its call. A call that re-enters the object on the thread already inside
// it (a signal handler, say) is refused rather than left waiting for itself.
class CallLock {
 public:
  // `owner` names the object in the refusal: "GameBatch is already in use by this thread".
  explicit CallLock(const char* owner) : owner_name_(owner) {}

  // False with RuntimeError set for a re-entry from the thread that holds it.
  bool acquire();
  void release();

 private:
  const char* owner_name_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// Holds a CallLock for one call; tests false (with the error set) when refused.
class Locked {
 public:
  explicit Locked(CallLock& lock) : lock_(lock.acquire() ? &lock : nullptr) {}
  ~Locked() {
    if (lock_) lock_->release();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  explicit operator bool() const { return lock_ != nullptr; }

 private:
  CallLock* lock_;
};

// The calling thread detached from the interpreter for the object's lifetime, so
// that other Python threads run meanwhile; what runs detached must not touch Python
// objects. The thread attaches again when the object goes, whether by return or by
// an exception.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  // Attaches for a moment to run the signal handlers: true when one raised, its
  // error then set (the caller stops and, once attached again, returns null).
  bool interrupted() {
    PyEval_RestoreThread(state_);
    const bool raised = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
};

// Runs `work` detached from the interpreter and returns what it returns.
template <class Work>
auto detached(Work&& work) -> decltype(work()) {
  Detached detached;
  return work();
}

}  // namespace tegulo::py
