// The thread pool: every task once per job, failures carried back, and a pool
// that still works in a child made by fork().
#include "batch/thread_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace tegulo {
namespace {

TEST(ThreadPool, RunsEveryTaskOncePerJob) {
  for (std::size_t threads : {1, 2, 3, 8}) {
    ThreadPool pool(threads);
    EXPECT_EQ(pool.size(), threads);
    for (std::size_t count : {0, 1, 2, 7, 64, 1000}) {
      std::vector<std::atomic<int>> runs(count);
      pool.run(count, [&](std::size_t i) { runs[i].fetch_add(1); });
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
    }
  }
}

TEST(ThreadPool, ManyJobsInARowSeeOnlyTheirOwnTasks) {
  ThreadPool pool(3);
  for (int job = 0; job < 2000; ++job) {
    std::atomic<long> sum = 0;
    const std::size_t count = 1 + static_cast<std::size_t>(job % 17);
    pool.run(count, [&](std::size_t i) { sum += static_cast<long>(i) + job; });
    ASSERT_EQ(sum.load(), static_cast<long>(count * (count - 1) / 2 + count * static_cast<std::size_t>(job)));
  }
}

TEST(ThreadPool, RethrowsTheFirstFailureAfterTheOtherTasksRan) {
  ThreadPool pool(2);
  std::atomic<int> ran = 0;
  EXPECT_THROW(pool.run(50,
                        [&](std::size_t i) {
                          ++ran;
                          if (i % 10 == 3) throw std::runtime_error("task failed");
                        }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 50);
  std::atomic<int> after = 0;
  pool.run(5, [&](std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 5);
}

TEST(ThreadPool, WorksInAForkedChild) {
  ThreadPool pool(2);
  pool.run(4, [](std::size_t) {});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<int> ran = 0;
    pool.run(100, [&](std::size_t) { ++ran; });
    _exit(ran.load() == 100 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ThreadPool, UsableCoresIsAtLeastOne) { EXPECT_GE(usable_cores(), 1u); }

}  // namespace
}  // namespace tegulo
