// An event sink that records every posted Packet, for tests of code that posts events.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/event_proxy.h"

namespace nolv {

class RecordingSink : public EventSink {
 public:
  explicit RecordingSink(std::function<void()> on_post = {}) : on_post_(std::move(on_post)) {}

  bool post(Packet packet) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      events_.push_back(std::move(packet));
    }
    if (on_post_) on_post_();
    return true;
  }
  bool post_batch(std::vector<Packet> packets) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      batch_sizes_.push_back(packets.size());
      for (Packet& packet : packets) events_.push_back(std::move(packet));
    }
    if (on_post_) on_post_();
    return true;
  }
  // After close(), posting fails, as it does once the event loop has gone.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  std::vector<Packet> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }
  // The size of every batch posted so far (single posts are not batches).
  std::vector<std::size_t> batch_sizes() {
    std::lock_guard lock(mutex_);
    return batch_sizes_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Packet> events_;
  std::vector<std::size_t> batch_sizes_;
  bool closed_ = false;
  std::function<void()> on_post_;
};

}  // namespace nolv
