#pragma once

// How an object whose calls do long native work shares itself between Python
// threads: one call at a time under a lock that waits without holding the
// interpreter, and the work itself done detached from the interpreter, stepping
// back in only to hear of signals. GameBatch and GuidedSearch both use these.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>

namespace tegulo::py {

// Attaches the calling thread to the interpreter again. An interpreter that is
// finalising ends a daemon thread that attaches (3.11 to 3.13) by unwinding its
// stack, which would end the whole process at the first noexcept frame of ours:
// such a thread stops here for good instead, as 3.14 makes it do.
void attach(PyThreadState* state) noexcept;

// The calling thread detached from the interpreter for the object's lifetime, so
// that other Python threads run meanwhile; what runs detached must not touch Python
// objects. The thread attaches again when the object goes, whether by return or by
// an exception.
class Detached {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  ~Detached() { attach(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  // Attaches for a moment to run `work` and returns what it returns.
  template <class Work>
  auto attached(Work&& work) -> decltype(work()) {
    attach(state_);
    auto result = work();
    state_ = PyEval_SaveThread();
    return result;
  }
  // Attaches for a moment to run the signal handlers: true when one raised, its
  // error then set (the caller stops and, once attached again, returns null).
  bool interrupted() {
    return attached([] { return PyErr_CheckSignals() < 0; });
  }

 private:
  PyThreadState* state_;
};

// What became of a call that let its signal handlers run at an interrupt point.
enum class Pause {
  go_on,        // nothing raised, and no other call ran: the call goes on where it was
  interrupted,  // a handler raised: the call stops, its error set
  superseded,   // another call ran meanwhile: the call starts again from the object as it now stands
};

// Serialises the calls made on one object. A thread that finds it busy waits
// detached from the interpreter, in short slices between which it runs the signal
// handlers, so that Ctrl-C is heard while a long call holds the object. A call
// that re-enters the object on the thread already inside it (a signal handler,
// say) is refused rather than left waiting for itself.
class CallLock {
 public:
  // `owner` names the object in the refusal: "GameBatch is already in use by this thread".
  explicit CallLock(const char* owner) : owner_name_(owner) {}

  // False with the error set: RuntimeError for a re-entry from the thread that
  // holds the lock, or what a signal handler raised while the thread waited.
  bool acquire();
  void release();

  // An interrupt point of the call that holds the lock, detached: runs the signal
  // handlers. While they run for longer than a wait slice (a handler that joins a
  // thread waiting for this object, say), a waiting call may take the lock over, so
  // the caller must have put the object back as it was before its call. Only the
  // handlers' own time counts: a holder kept waiting for the interpreter is never
  // taken over. `held` says whether the caller holds the lock afterwards: not when
  // it was interrupted while waiting to take it back.
  Pause pause(Detached& detached, bool& held);

 private:
  // Waits detached until the lock is free, or paused since the last slice, and
  // takes it; false when a signal handler raised meanwhile.
  bool wait(Detached& detached);
  void take();

  const char* owner_name_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool busy_ = false;
  std::thread::id owner_{};
  std::uint64_t calls_ = 0;   // calls that took the lock so far
  std::uint64_t pauses_ = 0;  // interrupt points passed so far
  std::uint64_t paused_ = 0;  // the number of the holder's pause while its handlers run, else 0
  std::size_t waiting_ = 0;
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

  // See CallLock::pause; the lock is released at the end only if it is still held.
  Pause pause(Detached& detached) {
    bool held = true;
    const Pause pause = lock_->pause(detached, held);
    if (!held) lock_ = nullptr;
    return pause;
  }

 private:
  CallLock* lock_;
};

// Runs `work` detached from the interpreter and returns what it returns.
template <class Work>
auto detached(Work&& work) -> decltype(work()) {
  Detached detached;
  return work();
}

}  // namespace tegulo::py
