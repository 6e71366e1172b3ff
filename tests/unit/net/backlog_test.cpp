#include "net/backlog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace nolv {
namespace {

using namespace std::chrono_literals;

// Whether `wait_for_room` is still blocked after a moment; the moment only has to be long enough
// for a waiter that was not blocked to have returned.
bool still_blocked(std::future<bool>& waiter) {
  return waiter.wait_for(100ms) == std::future_status::timeout;
}

TEST(Backlog, CountsWhatIsAddedAndRemoved) {
  Backlog backlog(100);
  backlog.add(30);
  backlog.add(50);
  backlog.remove(20);
  EXPECT_EQ(backlog.waiting(), 60u);
  backlog.remove(1000);  // more than is waiting
  EXPECT_EQ(backlog.waiting(), 0u);
}

TEST(Backlog, WaitsOnlyAtOrAboveTheLimitAndWakesWhenRoomIsMade) {
  Backlog backlog(100);
  backlog.add(99);
  EXPECT_TRUE(backlog.wait_for_room());  // below: returns at once
  backlog.add(1);
  auto waiter = std::async(std::launch::async, [&] { return backlog.wait_for_room(); });
  ASSERT_TRUE(still_blocked(waiter));
  backlog.add(5000);     // one large item takes the total far past the limit
  backlog.remove(4000);  // still above
  ASSERT_TRUE(still_blocked(waiter));
  backlog.remove(1001);  // 99: room again
  EXPECT_TRUE(waiter.get());
}

TEST(Backlog, CloseReleasesWaitersAndEveryLaterWait) {
  Backlog backlog(10);
  backlog.add(10);
  auto first = std::async(std::launch::async, [&] { return backlog.wait_for_room(); });
  auto second = std::async(std::launch::async, [&] { return backlog.wait_for_room(); });
  ASSERT_TRUE(still_blocked(first));
  backlog.close();
  EXPECT_FALSE(first.get());
  EXPECT_FALSE(second.get());
  backlog.remove(10);
  EXPECT_FALSE(backlog.wait_for_room());  // closed even with room
}

TEST(Backlog, ManyThreadsBalanceToZero) {
  Backlog backlog(1u << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        backlog.add(7);
        backlog.remove(7);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(backlog.waiting(), 0u);
}

}  // namespace
}  // namespace nolv
