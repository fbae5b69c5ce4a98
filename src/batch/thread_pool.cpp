#include "thread_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

namespace tegulo {

std::size_t usable_cores() {
  cpu_set_t cores;
  if (sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0)
    return static_cast<std::size_t>(CPU_COUNT(&cores));
  const unsigned known = std::thread::hardware_concurrency();
  return known > 0 ? known : 1;
}

ThreadPool::ThreadPool(std::size_t threads) : size_(threads < 1 ? 1 : threads), owner_(getpid()) {
  try {
    start_workers();
  } catch (...) {
    // The system refused a thread after starting others: stop those before the
    // error goes on, as destroying the handle of a running thread ends the process.
    stop_workers();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  if (getpid() == owner_) {
    stop_workers();
  } else {
    abandon_workers();
  }
}

void ThreadPool::start_workers() {
  workers_.reserve(size_ - 1);
  while (workers_.size() + 1 < size_) workers_.emplace_back([this] { work(); });
}

void ThreadPool::grow(std::size_t threads) {
  if (threads <= size_) return;
  if (getpid() != owner_) {
    size_ = threads;  // the next job starts them all, as a forked child does
    return;
  }
  const std::size_t before = size_;
  size_ = threads;
  try {
    start_workers();
  } catch (...) {
    size_ = std::max(before, workers_.size() + 1);  // those started work from the next job on
    throw;
  }
}

void ThreadPool::stop_workers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

// In a child made by fork() the workers never existed: only the forking thread is
// copied. Their handles can be neither joined nor detached, nor destroyed while
// joinable, so they are left to the process's end.
void ThreadPool::abandon_workers() {
  new std::vector<std::thread>(std::move(workers_));
  workers_.clear();
}

void ThreadPool::dispatch(std::size_t count, Invoke invoke, void* context) {
  if (count == 0) return;
  if (getpid() != owner_) {
    // A forked child: the parent's workers are not here, and the lock may have
    // been copied mid-use; start afresh.
    abandon_workers();
    new (&mutex_) std::mutex();
    new (&job_ready_) std::condition_variable();
    new (&job_done_) std::condition_variable();
    running_ = 0;
    owner_ = getpid();
    start_workers();
  }
  std::unique_lock lock(mutex_);
  invoke_ = invoke;
  context_ = context;
  count_ = count;
  next_ = 0;
  error_ = nullptr;
  ++generation_;
  if (!workers_.empty() && count > 1) job_ready_.notify_all();
  drain(lock);
  job_done_.wait(lock, [this] { return running_ == 0; });
  invoke_ = nullptr;
  context_ = nullptr;
  if (error_) {
    std::exception_ptr error = std::exchange(error_, nullptr);
    std::rethrow_exception(error);
  }
}

void ThreadPool::drain(std::unique_lock<std::mutex>& lock) {
  while (next_ < count_) {
    const std::size_t i = next_++;
    ++running_;
    const Invoke invoke = invoke_;
    void* const context = context_;
    lock.unlock();
    std::exception_ptr error;
    try {
      invoke(context, i);
    } catch (...) {
      error = std::current_exception();
      // None for the unwinding that ends the thread (pthread_exit): no failure of the task.
      if (!error) throw;
    }
    lock.lock();
    if (error && !error_) error_ = error;
    if (--running_ == 0 && next_ == count_) job_done_.notify_all();
  }
}

void ThreadPool::work() {
  std::unique_lock lock(mutex_);
  std::uint64_t seen = generation_;
  for (;;) {
    // The next job usually follows soon: wait for it briefly awake, then asleep.
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (generation_.load(std::memory_order_relaxed) == seen && !stopping_.load(std::memory_order_relaxed) &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    lock.lock();
    job_ready_.wait(lock, [&] { return generation_ != seen || stopping_; });
    if (stopping_) return;
    seen = generation_;
    drain(lock);
  }
}

}  // namespace tegulo
