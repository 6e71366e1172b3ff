// Channels between threads: a queue with one receiving end and any number of sending ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace nolv {

// No bound: every send is taken while the receiver lives.
inline constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

// When the channel closes for the receiver. Under every rule it closes on `Sender::close` and
// once the last sender is gone, so that the receiver never waits for a value nobody can send;
// what was sent before the close is still received.
enum class CloseRule {
  LastSender,  // only then
  FirstValue,  // also after the first value: a one-shot hand-over that refuses later sends
};

enum class SendOutcome { Sent, Full, Closed };

// Empty: nothing was queued, or nothing came by the deadline.
enum class RecvStatus { Received, Empty, Closed };

template <typename T>
struct Receipt {
  RecvStatus status = RecvStatus::Empty;
  std::optional<T> value;  // set when Received
};

namespace detail {

template <typename T>
struct ChannelState {
  ChannelState(std::size_t bound_of, CloseRule rule_of) : bound(bound_of), rule(rule_of) {}

  // Under `mutex`.
  void wake_receiver() {
    changed.notify_all();
    if (wake_waiter) wake_waiter();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<T> queue;
  const std::size_t bound;
  const CloseRule rule;
  std::size_t senders = 1;
  bool closed = false;
  bool receiver_alive = true;
  std::function<void()> wake_waiter;  // set while the receiver waits in a waiter of its own
};

}  // namespace detail

template <typename T>
struct Channel;

// A sending end. Copies are more senders; an end made by default or moved from is closed.
// One by-value assignment serves both copy and move.
template <typename T>
class Sender {  // NOLINT(cppcoreguidelines-special-member-functions)
 public:
  Sender() = default;
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender other) noexcept {
    release();
    state_ = std::move(other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Never blocks. A refused value is dropped by the caller's copy, outside the channel's lock.
  [[nodiscard]] SendOutcome send(T value) const {
    if (!state_) return SendOutcome::Closed;
    std::lock_guard lock(state_->mutex);
    if (state_->closed || !state_->receiver_alive) return SendOutcome::Closed;
    if (state_->queue.size() >= state_->bound) return SendOutcome::Full;
    state_->queue.push_back(std::move(value));
    if (state_->rule == CloseRule::FirstValue) state_->closed = true;
    state_->wake_receiver();
    return SendOutcome::Sent;
  }

  // Closes the channel for every end: later sends fail, the receiver gets what is queued and
  // then the close.
  void close() const {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    state_->wake_receiver();
  }

 private:
  friend struct Channel<T>;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void release() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      if (--state_->senders == 0) {
        state_->closed = true;
        state_->wake_receiver();
      }
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// The receiving end, used by one thread at a time. Dropping it refuses every later send and
// drops what is still queued.
template <typename T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // Blocks for the next value; none once the channel is closed and drained.
  std::optional<T> recv() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return !state_->queue.empty() || state_->closed; });
    return pop_locked().value;
  }

  // Waits until a value comes, the channel closes or the deadline passes.
  Receipt<T> recv_until(std::chrono::steady_clock::time_point deadline) {
    if (!state_) return Receipt<T>{RecvStatus::Closed, std::nullopt};
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_until(lock, deadline,
                               [&] { return !state_->queue.empty() || state_->closed; });
    return pop_locked();
  }

  // Without waiting.
  Receipt<T> try_recv() {
    if (!state_) return Receipt<T>{RecvStatus::Closed, std::nullopt};
    std::lock_guard lock(state_->mutex);
    return pop_locked();
  }

  // Like recv_until, but waits in `waiter` (its `wait_until(deadline)`, woken by `wake()`) for a
  // thread that has to serve something else while it waits. A stop request counts as the close;
  // whoever requests it wakes the waiter.
  template <typename Waiter>
  Receipt<T> recv_until(std::chrono::steady_clock::time_point deadline, Waiter& waiter,
                        const std::stop_token& stop) {
    if (!state_) return Receipt<T>{RecvStatus::Closed, std::nullopt};
    for (;;) {
      {
        std::lock_guard lock(state_->mutex);
        const bool stopped = stop.stop_requested();
        if (!state_->queue.empty() || state_->closed || stopped ||
            std::chrono::steady_clock::now() >= deadline) {
          state_->wake_waiter = nullptr;
          if (stopped && state_->queue.empty()) return Receipt<T>{RecvStatus::Closed, std::nullopt};
          return pop_locked();
        }
        // Set under the lock: a send either comes before the check above or wakes the wait.
        state_->wake_waiter = [&waiter] { waiter.wake(); };
      }
      waiter.wait_until(deadline);
    }
  }

 private:
  friend struct Channel<T>;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  Receipt<T> pop_locked() {
    if (state_->queue.empty()) {
      return Receipt<T>{state_->closed ? RecvStatus::Closed : RecvStatus::Empty, std::nullopt};
    }
    Receipt<T> receipt{RecvStatus::Received, std::move(state_->queue.front())};
    state_->queue.pop_front();
    return receipt;
  }

  void release() {
    if (!state_) return;
    std::deque<T> dropped;  // dropped outside the lock: a value may give resources back
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->queue);
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// Both ends of a new channel. `bound` is how many values may wait at once (more are refused as
// Full); `rule` adds to when the channel closes.
template <typename T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;

  static Channel open(std::size_t bound = kUnbounded, CloseRule rule = CloseRule::LastSender) {
    auto state = std::make_shared<detail::ChannelState<T>>(bound, rule);
    return Channel{Sender<T>(state), Receiver<T>(state)};
  }
};

}  // namespace nolv
