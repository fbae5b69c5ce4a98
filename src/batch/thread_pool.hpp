#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace tegulo {

// The number of cores this process may run on.
std::size_t usable_cores();

// A fixed set of threads that run the tasks of one job at a time. The thread that
// hands in a job works on it too, so a pool of n threads starts n - 1 workers, and
// a pool of one runs everything on the caller's thread.
//
// Tasks are handed out one at a time under the pool's lock, so a worker always
// runs a task of the job whose context it read; `run` returns only when every
// task handed out has finished, so the job's context may live on the caller's
// stack. Workers wait a little for the next job before they sleep: a training
// loop hands in jobs a few tens of microseconds apart.
class ThreadPool {
 public:
  explicit ThreadPool(std::size_t threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Threads that work on a job, the caller's included.
  std::size_t size() const { return size_; }
  // Starts workers until `threads` threads work on a job; called between jobs. If the
  // system refuses a thread, the error goes on and the pool keeps those it started.
  void grow(std::size_t threads);

  // Runs task(0) to task(count - 1) on the pool and returns when all are done. If
  // tasks throw, the rest still run and the first exception is rethrown here.
  template <class Task>
  void run(std::size_t count, Task&& task) {
    dispatch(
        count, [](void* context, std::size_t i) { (*static_cast<std::remove_reference_t<Task>*>(context))(i); }, &task);
  }

 private:
  using Invoke = void (*)(void*, std::size_t);

  void dispatch(std::size_t count, Invoke invoke, void* context);
  // Takes and runs tasks of the current job until none is left; called with the lock held.
  void drain(std::unique_lock<std::mutex>& lock);
  void work();
  void start_workers();
  // Stops and joins the workers started.
  void stop_workers();
  void abandon_workers();

  std::size_t size_;
  std::vector<std::thread> workers_;
  pid_t owner_;  // the process the workers run in

  std::mutex mutex_;
  std::condition_variable job_ready_;
  std::condition_variable job_done_;
  // Counts jobs, so that a worker sees each new one; written under the lock, read
  // without it by workers waiting awake.
  std::atomic<std::uint64_t> generation_ = 0;
  Invoke invoke_ = nullptr;
  void* context_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;     // the next task to hand out
  std::size_t running_ = 0;  // tasks handed out and not yet finished
  std::exception_ptr error_;
  std::atomic<bool> stopping_ = false;
};

}  // namespace tegulo
