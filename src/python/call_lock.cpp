#include "python/call_lock.hpp"

namespace tegulo::py {

bool CallLock::acquire() {
  const std::thread::id self = std::this_thread::get_id();
  if (owner_.load(std::memory_order_relaxed) == self) {
    PyErr_Format(PyExc_RuntimeError, "%s is already in use by this thread", owner_name_);
    return false;
  }
  if (!mutex_.try_lock()) {
    Py_BEGIN_ALLOW_THREADS mutex_.lock();
    Py_END_ALLOW_THREADS
  }
  owner_.store(self, std::memory_order_relaxed);
  return true;
}

void CallLock::release() {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace tegulo::py
