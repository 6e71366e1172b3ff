// How much the session holds that it has not yet dealt with: packets read and not yet handled,
// draws not yet decoded and painted, decoded pictures not yet painted, outgoing bytes not yet
// written. Whoever feeds the session from the network waits while it is too much, so TCP slows
// the server down instead of memory growing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>

namespace nolv {

// The budget of one session. A server may write a burst of tens of MiB (32 MiB of pings, say)
// before it reads a single reply; every reply waits here until the server reads again, and a
// reply ("ping-echo") is up to 2.5 times the size of the smallest ping, so about 80 MiB of
// replies for 32 MiB of pings minus what the socket buffers hold. Reaching the limit in that
// case would stop the reader while the server still waits to finish writing: both would wait
// forever. 96 MiB leaves room for that burst, and still holds only a dozen 1080p pictures
// (8 MiB each decoded), which keeps a flood of pictures well below half a gigabyte.
inline constexpr std::uint64_t kSessionBacklogLimit = 96ull * 1024 * 1024;

// Draws read and not yet painted, however small: a 1080p H.264 frame of a still
// picture is about 100 bytes on the wire but a millisecond or two to decode, convert and paint,
// so the bytes alone would let a quarter of a million of them, minutes of work, queue ahead of
// the next ping. At this count the reader stops and TCP holds the server back; the queue is then
// a fraction of a second of work, and still keeps the decode thread busy while the reader
// catches up.
inline constexpr std::uint64_t kMaxWaitingDraws = 128;

// Decoded pictures posted and not yet painted. The decode thread waits for room here before it
// posts the next one, so pictures cannot pile up ahead of the painter while the draws wait in
// the session's budget. It never waits on that budget itself: draws queued for it fill that one,
// and only the decode thread and the event loop empty them. Only the event loop, which never
// waits, empties this one. Four 1080p pictures, or one 4K picture.
inline constexpr std::uint64_t kDecodedPicturesLimit = 32ull * 1024 * 1024;

// Bytes received or produced and not yet done with, and the draws among them. Thread-safe. Charges
// are counted as they stand: the limits only decide when `wait_for_room` blocks, so one item larger
// than the room left is still taken, and the total may pass the limit by that item.
class Backlog {
 public:
  explicit Backlog(std::uint64_t limit,
                   std::uint64_t draw_limit = std::numeric_limits<std::uint64_t>::max());
  Backlog(const Backlog&) = delete;
  Backlog& operator=(const Backlog&) = delete;
  ~Backlog() = default;

  void add(std::uint64_t bytes, std::uint64_t draws = 0);
  // More than is waiting leaves zero.
  void remove(std::uint64_t bytes, std::uint64_t draws = 0);
  // Blocks while at or above either limit; false once closed (at once, and for every later
  // call).
  [[nodiscard]] bool wait_for_room();
  // Below both limits: `wait_for_room` would not block.
  [[nodiscard]] bool has_room() const;
  // Wakes every waiter; counting goes on, waiting does not.
  void close();
  std::uint64_t waiting() const;
  std::uint64_t waiting_draws() const;

 private:
  bool full() const { return waiting_ >= limit_ || draws_ >= draw_limit_; }
  const std::uint64_t limit_;
  const std::uint64_t draw_limit_;
  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::uint64_t waiting_ = 0;
  std::uint64_t draws_ = 0;
  bool closed_ = false;
};

// Bytes (and draws) charged to a backlog for as long as this lives: a packet carries its own
// charge, so it is given back wherever the packet ends (handled, decoded, painted, refused or
// thrown away), on whichever thread. A copy holds nothing: the charge is given back once.
class BacklogCharge {
 public:
  BacklogCharge() = default;
  BacklogCharge(std::shared_ptr<Backlog> backlog, std::uint64_t bytes, std::uint64_t draws = 0);
  BacklogCharge(const BacklogCharge&) {}
  BacklogCharge& operator=(const BacklogCharge& other);
  BacklogCharge(BacklogCharge&& other) noexcept;
  BacklogCharge& operator=(BacklogCharge&& other) noexcept;
  ~BacklogCharge();

  std::uint64_t bytes() const { return bytes_; }

 private:
  void release();
  std::shared_ptr<Backlog> backlog_;
  std::uint64_t bytes_ = 0;
  std::uint64_t draws_ = 0;
};

}  // namespace nolv
