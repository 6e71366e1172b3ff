// A local clipboard held in memory, for tests of the "clipboard" thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"

namespace nolv {

class FakeClipboard : public ClipboardAccess {
 public:
  explicit FakeClipboard(std::optional<std::string> text = std::nullopt) : text_(std::move(text)) {}

  Result<std::string> read_text(std::stop_token) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    changed_.notify_all();
    if (!text_) return fail("the clipboard holds no text");
    return *text_;
  }
  Status write_text(const std::string& text, std::stop_token) override {
    std::lock_guard lock(mutex_);
    if (write_fails_) return fail("clipboard busy");
    text_ = text;
    writes_.push_back(text);
    changed_.notify_all();
    return {};
  }

  // What another program does: put a text there, or take it away.
  void copy(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }
  void set_write_fails(bool fails) {
    std::lock_guard lock(mutex_);
    write_fails_ = fails;
  }
  std::vector<std::string> writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // Waits (bounded) until at least `n` reads have happened in all.
  bool wait_reads(int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return reads_ >= n; });
  }
  bool wait_writes(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return writes_.size() >= n; });
  }
  int reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::string> text_;
  std::vector<std::string> writes_;
  int reads_ = 0;
  bool write_fails_ = false;
};

}  // namespace nolv
