#include "util/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <thread>
#include <vector>

namespace nolv {
namespace {

using namespace std::chrono_literals;

struct BoundCase {
  const char* name;
  std::size_t bound;
  CloseRule rule;
  std::vector<SendOutcome> sends;  // of the values 0, 1, 2, ... in order
  std::vector<int> received;       // then everything received, up to the close
};

void PrintTo(const BoundCase& c, std::ostream* os) {
  *os << c.name;
}

class ChannelBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ChannelBound, SendsAreTakenUpToTheBoundAndReceivedInOrder) {
  const BoundCase& c = GetParam();
  auto channel = Channel<int>::open(c.bound, c.rule);
  for (std::size_t i = 0; i < c.sends.size(); ++i) {
    EXPECT_EQ(channel.sender.send(static_cast<int>(i)), c.sends[i]) << i;
  }
  channel.sender.close();
  std::vector<int> received;
  while (auto v = channel.receiver.recv()) received.push_back(*v);
  EXPECT_EQ(received, c.received);
  EXPECT_EQ(channel.receiver.try_recv().status, RecvStatus::Closed);
}

constexpr auto kSent = SendOutcome::Sent;
constexpr auto kFull = SendOutcome::Full;
constexpr auto kClosed = SendOutcome::Closed;

INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelBound,
    ::testing::Values(
        BoundCase{"Unbounded",
                  kUnbounded,
                  CloseRule::LastSender,
                  {kSent, kSent, kSent, kSent},
                  {0, 1, 2, 3}},
        BoundCase{"BoundTwo", 2, CloseRule::LastSender, {kSent, kSent, kFull, kFull}, {0, 1}},
        BoundCase{"OneShot", 1, CloseRule::FirstValue, {kSent, kClosed, kClosed}, {0}},
        BoundCase{"UnboundedOneShot", kUnbounded, CloseRule::FirstValue, {kSent, kClosed}, {0}}),
    [](const ::testing::TestParamInfo<BoundCase>& test) { return test.param.name; });

TEST(Channel, RoomFreedByAReceiveTakesTheNextSend) {
  auto channel = Channel<int>::open(1);
  EXPECT_EQ(channel.sender.send(1), kSent);
  EXPECT_EQ(channel.sender.send(2), kFull);
  EXPECT_EQ(channel.receiver.try_recv().value, 1);
  EXPECT_EQ(channel.sender.send(3), kSent);
  EXPECT_EQ(channel.receiver.try_recv().value, 3);
  EXPECT_EQ(channel.receiver.try_recv().status, RecvStatus::Empty);
}

TEST(Channel, ClosesForTheReceiverOnceTheLastSenderIsGone) {
  auto channel = Channel<int>::open();
  {
    Sender<int> copy = channel.sender;
    EXPECT_EQ(copy.send(1), kSent);
  }
  EXPECT_EQ(channel.receiver.try_recv().value, 1);
  EXPECT_EQ(channel.receiver.try_recv().status, RecvStatus::Empty);  // the first sender lives

  Sender<int> moved = std::move(channel.sender);
  EXPECT_EQ(channel.sender.send(2), kClosed);  // a moved-from end sends nothing
  EXPECT_EQ(moved.send(3), kSent);
  moved = Sender<int>();                  // the last sender goes
  EXPECT_EQ(channel.receiver.recv(), 3);  // what was sent before is still received
  EXPECT_EQ(channel.receiver.recv(), std::nullopt);
  EXPECT_EQ(channel.receiver.recv_until(std::chrono::steady_clock::now() + 1h).status,
            RecvStatus::Closed);
}

TEST(Channel, AGoneReceiverRefusesSendsAndDropsWhatWaited) {
  auto channel = Channel<std::shared_ptr<int>>::open();
  auto value = std::make_shared<int>(7);
  EXPECT_EQ(channel.sender.send(value), kSent);
  EXPECT_EQ(value.use_count(), 2);
  { Receiver<std::shared_ptr<int>> gone = std::move(channel.receiver); }
  EXPECT_EQ(value.use_count(), 1);
  EXPECT_EQ(channel.sender.send(value), kClosed);
  EXPECT_EQ(value.use_count(), 1);                   // the refused copy is not kept either
  EXPECT_EQ(channel.receiver.recv(), std::nullopt);  // a moved-from end receives nothing
}

TEST(Channel, ABlockedReceiveWakesOnASendAndOnTheClose) {
  auto channel = Channel<int>::open();
  auto first = std::async(std::launch::async, [&] { return channel.receiver.recv(); });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(channel.sender.send(5), kSent);
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(first.get(), 5);

  auto second = std::async(std::launch::async, [&] {
    return channel.receiver.recv_until(std::chrono::steady_clock::now() + 1h).status;
  });
  std::this_thread::sleep_for(20ms);
  channel.sender = Sender<int>();
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(second.get(), RecvStatus::Closed);
}

TEST(Channel, ADeadlineWithNothingSentIsEmpty) {
  auto channel = Channel<int>::open();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.receiver.recv_until(start + 30ms).status, RecvStatus::Empty);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

// Stands in for a clipboard that serves other programs while the receiver waits in it.
class CountingWaiter {
 public:
  void wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    ++waits_;
    changed_.wait_until(lock, deadline, [&] { return woken_; });
    woken_ = false;
  }
  void wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    changed_.notify_all();
  }
  int waits() {
    std::lock_guard lock(mutex_);
    return waits_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool woken_ = false;
  int waits_ = 0;
};

TEST(Channel, AReceiverWaitingInItsOwnWaiterIsWokenBySendCloseAndStop) {
  auto channel = Channel<int>::open();
  CountingWaiter waiter;
  std::stop_source stop;
  const auto far = [] { return std::chrono::steady_clock::now() + 1h; };
  auto wait_then = [&](auto act) {
    auto got = std::async(std::launch::async, [&] {
      return channel.receiver.recv_until(far(), waiter, stop.get_token());
    });
    while (waiter.waits() == 0) std::this_thread::sleep_for(1ms);
    act();
    EXPECT_EQ(got.wait_for(10s), std::future_status::ready);
    return got.get();
  };

  Receipt<int> sent = wait_then([&] { EXPECT_EQ(channel.sender.send(9), kSent); });
  EXPECT_EQ(sent.value, 9);

  EXPECT_EQ(channel.sender.send(4), kSent);
  stop.request_stop();
  // A value sent before the stop is still received; then the stop reads as the close.
  EXPECT_EQ(channel.receiver.recv_until(far(), waiter, stop.get_token()).value, 4);
  EXPECT_EQ(channel.receiver.recv_until(far(), waiter, stop.get_token()).status,
            RecvStatus::Closed);

  std::stop_source never;
  auto closed = std::async(std::launch::async, [&] {
    return channel.receiver.recv_until(far(), waiter, never.get_token()).status;
  });
  while (waiter.waits() < 2) std::this_thread::sleep_for(1ms);
  channel.sender.close();
  ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(closed.get(), RecvStatus::Closed);
}

TEST(Channel, ManySendersOnManyThreadsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  auto channel = Channel<int>::open();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([sender = channel.sender, t] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(sender.send(t * kEach + i), kSent);
    });
  }
  channel.sender = Sender<int>();
  std::vector<int> next(kThreads, 0);
  int count = 0;
  while (auto v = channel.receiver.recv()) {
    const int t = *v / kEach;
    EXPECT_EQ(*v % kEach, next[t]++);  // each sender's values in its order
    ++count;
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(count, kThreads * kEach);
}

}  // namespace
}  // namespace nolv
