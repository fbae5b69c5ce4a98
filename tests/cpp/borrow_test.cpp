#include "python/borrow.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace tegulo::py {
namespace {

TEST(BorrowFlag, ReadersShareAndAWriterIsAlone) {
  BorrowFlag flag;
  ASSERT_TRUE(flag.try_share());
  ASSERT_TRUE(flag.try_share());
  EXPECT_EQ(flag.state(), 2);
  EXPECT_FALSE(flag.try_exclusive());
  flag.unshare();
  EXPECT_FALSE(flag.try_exclusive());
  flag.unshare();
  ASSERT_TRUE(flag.try_exclusive());
  EXPECT_EQ(flag.state(), -1);
  EXPECT_FALSE(flag.try_share());
  EXPECT_FALSE(flag.try_exclusive());
  flag.release_exclusive();
  EXPECT_EQ(flag.state(), 0);
  EXPECT_TRUE(flag.try_share());
}

// Threads hammer one flag with both kinds of borrow. Whoever holds it checks that
// no writer overlaps anyone; a refusal must come back at once (the loop would
// otherwise stall), and some borrows of both kinds must get through.
TEST(BorrowFlag, ContendedBorrowsNeverLetAWriterOverlapAnyone) {
  BorrowFlag flag;
  std::atomic<int> readers{0}, writers{0}, overlaps{0};
  std::atomic<long> shared_taken{0}, exclusive_taken{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 100000; ++i) {
        if (rng() % 4 == 0) {
          if (!flag.try_exclusive()) {
            ++refused;
            continue;
          }
          if (writers.fetch_add(1) != 0 || readers.load() != 0) ++overlaps;
          ++exclusive_taken;
          writers.fetch_sub(1);
          flag.release_exclusive();
        } else {
          if (!flag.try_share()) {
            ++refused;
            continue;
          }
          readers.fetch_add(1);
          if (writers.load() != 0) ++overlaps;
          ++shared_taken;
          readers.fetch_sub(1);
          flag.unshare();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(flag.state(), 0);
  EXPECT_GT(shared_taken.load(), 0);
  EXPECT_GT(exclusive_taken.load(), 0);
  EXPECT_EQ(shared_taken + exclusive_taken + refused, 600000);
}

}  // namespace
}  // namespace tegulo::py
