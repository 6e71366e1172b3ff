#include "net/backlog.h"

namespace nolv {

Backlog::Backlog(std::uint64_t limit) : limit_(limit) {}

void Backlog::add(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  waiting_ += bytes;
}

void Backlog::remove(std::uint64_t bytes) {
  bool room = false;
  {
    std::lock_guard lock(mutex_);
    const bool was_full = waiting_ >= limit_;
    waiting_ -= bytes < waiting_ ? bytes : waiting_;
    room = was_full && waiting_ < limit_;
  }
  if (room) room_.notify_all();
}

bool Backlog::wait_for_room() {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] { return closed_ || waiting_ < limit_; });
  return !closed_;
}

void Backlog::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  room_.notify_all();
}

std::uint64_t Backlog::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace nolv
