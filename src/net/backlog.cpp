#include "net/backlog.h"

#include <utility>

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

bool Backlog::has_room() const {
  std::lock_guard lock(mutex_);
  return waiting_ < limit_;
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

BacklogCharge::BacklogCharge(std::shared_ptr<Backlog> backlog, std::uint64_t bytes)
    : backlog_(std::move(backlog)), bytes_(backlog_ ? bytes : 0) {
  if (backlog_) backlog_->add(bytes_);
}

BacklogCharge& BacklogCharge::operator=(const BacklogCharge& other) {
  if (this != &other) release();
  return *this;
}

BacklogCharge::BacklogCharge(BacklogCharge&& other) noexcept
    : backlog_(std::move(other.backlog_)), bytes_(std::exchange(other.bytes_, 0)) {}

BacklogCharge& BacklogCharge::operator=(BacklogCharge&& other) noexcept {
  if (this != &other) {
    release();
    backlog_ = std::move(other.backlog_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

BacklogCharge::~BacklogCharge() {
  release();
}

void BacklogCharge::release() {
  if (backlog_) backlog_->remove(bytes_);
  backlog_.reset();
  bytes_ = 0;
}

}  // namespace nolv
