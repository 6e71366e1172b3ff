#include "net/backlog.h"

#include <utility>

namespace nolv {

Backlog::Backlog(std::uint64_t limit, std::uint64_t draw_limit)
    : limit_(limit), draw_limit_(draw_limit) {}

void Backlog::add(std::uint64_t bytes, std::uint64_t draws) {
  std::lock_guard lock(mutex_);
  waiting_ += bytes;
  draws_ += draws;
}

void Backlog::remove(std::uint64_t bytes, std::uint64_t draws) {
  bool room = false;
  {
    std::lock_guard lock(mutex_);
    const bool was_full = full();
    waiting_ -= bytes < waiting_ ? bytes : waiting_;
    draws_ -= draws < draws_ ? draws : draws_;
    room = was_full && !full();
  }
  if (room) room_.notify_all();
}

bool Backlog::has_room() const {
  std::lock_guard lock(mutex_);
  return !full();
}

bool Backlog::wait_for_room() {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [&] { return closed_ || !full(); });
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

std::uint64_t Backlog::waiting_draws() const {
  std::lock_guard lock(mutex_);
  return draws_;
}

BacklogCharge::BacklogCharge(std::shared_ptr<Backlog> backlog, std::uint64_t bytes,
                             std::uint64_t draws)
    : backlog_(std::move(backlog)), bytes_(backlog_ ? bytes : 0), draws_(backlog_ ? draws : 0) {
  if (backlog_) backlog_->add(bytes_, draws_);
}

BacklogCharge& BacklogCharge::operator=(const BacklogCharge& other) {
  if (this != &other) release();
  return *this;
}

BacklogCharge::BacklogCharge(BacklogCharge&& other) noexcept
    : backlog_(std::move(other.backlog_)),
      bytes_(std::exchange(other.bytes_, 0)),
      draws_(std::exchange(other.draws_, 0)) {}

BacklogCharge& BacklogCharge::operator=(BacklogCharge&& other) noexcept {
  if (this != &other) {
    release();
    backlog_ = std::move(other.backlog_);
    bytes_ = std::exchange(other.bytes_, 0);
    draws_ = std::exchange(other.draws_, 0);
  }
  return *this;
}

BacklogCharge::~BacklogCharge() {
  release();
}

void BacklogCharge::release() {
  if (backlog_) backlog_->remove(bytes_, draws_);
  backlog_.reset();
  bytes_ = 0;
  draws_ = 0;
}

}  // namespace nolv
