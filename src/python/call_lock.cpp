#include "python/call_lock.hpp"

#include <chrono>

namespace tegulo::py {

namespace {

// How long a waiting thread sleeps between two looks at the signals: short enough
// that Ctrl-C is heard at once, long enough to cost nothing.
constexpr auto WAIT_SLICE = std::chrono::milliseconds(20);

}  // namespace

void attach(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Nothing but that unwinding leaves the interpreter. The process is ending, and
    // leaving this handler would end it at once, with an abort.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

bool CallLock::acquire() {
  {
    std::lock_guard guard(mutex_);
    if (owner_ == std::this_thread::get_id()) {
      PyErr_Format(PyExc_RuntimeError, "%s is already in use by this thread", owner_name_);
      return false;
    }
    if (!busy_) {
      take();
      return true;
    }
  }
  Detached detached;
  return wait(detached);
}

void CallLock::release() {
  std::lock_guard guard(mutex_);
  busy_ = false;
  owner_ = {};
  paused_ = 0;
  if (waiting_ > 0) changed_.notify_all();
}

void CallLock::take() {
  busy_ = true;
  owner_ = std::this_thread::get_id();
  paused_ = 0;
  ++calls_;
}

bool CallLock::wait(Detached& detached) {
  std::unique_lock guard(mutex_);
  ++waiting_;
  // A holder paused for a moment between rounds keeps the lock; one whose handlers
  // still run after a whole slice may be waiting for this very thread.
  std::uint64_t seen = 0;
  while (busy_ && (paused_ == 0 || paused_ != seen)) {
    seen = paused_;
    if (changed_.wait_for(guard, WAIT_SLICE, [&] { return !busy_; })) break;
    guard.unlock();
    const bool raised = detached.interrupted();
    guard.lock();
    if (raised) {
      --waiting_;
      return false;
    }
  }
  --waiting_;
  take();
  return true;
}

Pause CallLock::pause(Detached& detached, bool& held) {
  bool taken_over = false;
  const bool raised = detached.attached([&] {
    std::uint64_t number = 0, calls = 0;
    {
      std::lock_guard guard(mutex_);
      number = paused_ = ++pauses_;
      calls = calls_;
    }
    const bool handler_raised = PyErr_CheckSignals() < 0;
    std::lock_guard guard(mutex_);
    if (paused_ == number && calls_ == calls)
      paused_ = 0;
    else
      taken_over = true;
    return handler_raised;
  });
  held = !taken_over;
  if (!taken_over) return raised ? Pause::interrupted : Pause::go_on;
  // Another call took the lock over while the handlers ran.
  if (raised || !wait(detached)) return Pause::interrupted;
  held = true;
  return Pause::superseded;
}

}  // namespace tegulo::py
