// libtegulo_failing_alloc: preloaded (LD_PRELOAD) into a test's subprocess, it makes
// operator new and calloc fail from the k-th call on once the test arms it, by
// writing k into tegulo_failing_from (-1, the start, never fails). Everything else
// goes to the C library's allocator as usual. Built with the tests, never installed.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void __libc_free(void* p);

// The calls left before allocations fail: 0 fails them all, below 0 none.
__attribute__((visibility("default"))) std::atomic<long long> tegulo_failing_from{-1};
}

namespace {

bool fails() {
  long long left = tegulo_failing_from.load(std::memory_order_relaxed);
  while (left > 0 && !tegulo_failing_from.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  return left == 0;
}

void* allocate(std::size_t size) {
  void* p = fails() ? nullptr : __libc_malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* try_allocate(std::size_t size) noexcept { return fails() ? nullptr : __libc_malloc(size == 0 ? 1 : size); }

}  // namespace

extern "C" __attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t size) {
  if (!fails()) return __libc_calloc(count, size);
  errno = ENOMEM;
  return nullptr;
}

__attribute__((visibility("default"))) void* operator new(std::size_t size) { return allocate(size); }
__attribute__((visibility("default"))) void* operator new[](std::size_t size) { return allocate(size); }
__attribute__((visibility("default"))) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return try_allocate(size);
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return try_allocate(size);
}
__attribute__((visibility("default"))) void operator delete(void* p) noexcept { __libc_free(p); }
__attribute__((visibility("default"))) void operator delete[](void* p) noexcept { __libc_free(p); }
__attribute__((visibility("default"))) void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
__attribute__((visibility("default"))) void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }
__attribute__((visibility("default"))) void operator delete(void* p, const std::nothrow_t&) noexcept {
  __libc_free(p);
}
__attribute__((visibility("default"))) void operator delete[](void* p, const std::nothrow_t&) noexcept {
  __libc_free(p);
}
