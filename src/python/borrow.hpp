#pragma once

#include <atomic>
#include <cstdint>

namespace tegulo::py {

// The guard of one Python object: any number of shared borrows, or one exclusive
// borrow. A conflicting request fails at once instead of waiting, so a call that
// re-enters an object it is already changing is refused, never deadlocked.
class BorrowFlag {
 public:
  // Counts one more reader unless a writer holds the flag.
  bool try_share() {
    std::intptr_t seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen == EXCLUSIVE) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void unshare() { state_.fetch_sub(1, std::memory_order_release); }

  // Takes the flag for one writer if nobody holds it.
  bool try_exclusive() {
    std::intptr_t free = 0;
    return state_.compare_exchange_strong(free, EXCLUSIVE, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

  // 0 when free, n > 0 while n readers hold it, -1 while a writer does.
  std::intptr_t state() const { return state_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::intptr_t EXCLUSIVE = -1;
  std::atomic<std::intptr_t> state_{0};
};

}  // namespace tegulo::py
