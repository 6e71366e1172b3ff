#include "platform/clipboard.h"

#include <mutex>

namespace nolv {

void ClipboardAccess::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(wait_mutex_);
  wait_cv_.wait_until(lock, deadline, [&] { return woken_; });
  woken_ = false;
}

void ClipboardAccess::wake() {
  {
    std::lock_guard lock(wait_mutex_);
    woken_ = true;
  }
  wait_cv_.notify_all();
}

}  // namespace nolv
