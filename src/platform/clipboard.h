// The local clipboard's text, as the "clipboard" thread reaches it. Only that thread calls it,
// except wake(), which any thread may call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "util/result.h"

namespace nolv {

// Larger texts are dropped in both directions: a clipboard copy is held by both sides and by
// the platform's clipboard at once, and a server or another program could otherwise make us
// hold any amount.
inline constexpr std::size_t kMaxClipboardText = std::size_t{16} << 20;

class ClipboardAccess {
 public:
  virtual ~ClipboardAccess() = default;
  // The clipboard's text as UTF-8; an error when it holds no text or cannot be read. A call
  // waiting on another program gives up at its own deadline or once `stop` is requested.
  virtual Result<std::string> read_text(std::stop_token stop) = 0;
  virtual Status write_text(const std::string& text, std::stop_token stop) = 0;

  // The thread waits here between polls, so that a clipboard that has to answer other programs
  // for a text this side holds can do so meanwhile. Returns at the deadline, or soon after a
  // wake() that came since the last return.
  virtual void wait_until(std::chrono::steady_clock::time_point deadline);
  virtual void wake();

 private:
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
  bool woken_ = false;
};

}  // namespace nolv
