// The "decode" thread: turns "draw" packets into pixels away from the event loop and posts them
// back as "draw-decoded" or "decoding-failed"; releases a window's H.264 decoder on its
// "eos"/"lost-window" packets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "client/draw_items.h"
#include "client/mediafoundation.h"
#include "net/packet.h"
#include "platform/event_loop.h"
#include "util/result.h"
#include "util/thread.h"

namespace nolv {

// Stack of the "decode" thread.
inline constexpr std::size_t kDecodeThreadStack = kWorkerStackSize;

namespace detail {
struct DecodeQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Packet> packets;
  std::size_t senders = 0;
  bool receiver_alive = true;
};
}  // namespace detail

// The sending end of the unbounded DecodeChannel; copies are more senders. The channel
// closes for the receiver once every sender is gone.
// One by-value assignment serves both copy and move.
class DecodeSender {  // NOLINT(cppcoreguidelines-special-member-functions)
 public:
  DecodeSender() = default;
  DecodeSender(const DecodeSender& other);
  DecodeSender(DecodeSender&& other) noexcept;
  DecodeSender& operator=(DecodeSender other) noexcept;
  ~DecodeSender();

  // False when the receiving end is gone (the decode thread has stopped) or for an empty end.
  [[nodiscard]] bool send(Packet packet) const;

 private:
  friend struct DecodeChannel;
  explicit DecodeSender(std::shared_ptr<detail::DecodeQueue> queue);
  void release();
  std::shared_ptr<detail::DecodeQueue> queue_;
};

// The receiving end; dropping it makes every later send fail.
class DecodeReceiver {
 public:
  DecodeReceiver(const DecodeReceiver&) = delete;
  DecodeReceiver& operator=(const DecodeReceiver&) = delete;
  DecodeReceiver() = default;
  DecodeReceiver(DecodeReceiver&& other) noexcept = default;
  DecodeReceiver& operator=(DecodeReceiver&& other) noexcept;
  ~DecodeReceiver();

  // Blocks for the next packet; none once the queue is empty and every sender is gone.
  std::optional<Packet> recv();
  // The same, but when nothing has come for `idle`, runs `on_idle` once (without the queue's
  // lock) and waits on.
  std::optional<Packet> recv(std::chrono::milliseconds idle, const std::function<void()>& on_idle);

 private:
  friend struct DecodeChannel;
  explicit DecodeReceiver(std::shared_ptr<detail::DecodeQueue> queue);
  void release();
  std::shared_ptr<detail::DecodeQueue> queue_;
};

struct DecodeChannel {
  DecodeSender sender;
  DecodeReceiver receiver;
  static DecodeChannel open();
};

struct DecodeThreadContext {
  DecodeReceiver receiver;
  EventLoopProxy proxy;
};

// Decodes one draw by its coding and builds the result packet ("draw-decoded" with the pixels in
// raw chunk 7 and the decode time, or "decoding-failed" with the message in item 7). Takes the
// draw's data out of it.
Packet decode_draw(Packet& draw, H264DecoderMap& decoders);

// The thread body: runs until the channel closes or a post fails.
void decoding_thread(DecodeThreadContext context);
void decoding_thread_entry(DecodeThreadContext context);

// Starts the detached "decode" thread with its 2 MiB stack; a failed start ends the process.
void start_decoding_thread(DecodeReceiver receiver, EventLoopProxy proxy);

// The decoders by coding; each gives 4 bytes per pixel at the picture's own size.
Result<Bytes> decode_jpeg_bgra(std::span<const std::uint8_t> data);
Result<Bytes> decode_png_rgba8(std::span<const std::uint8_t> data);
Result<Bytes> decode_webp_bgra(std::span<const std::uint8_t> data);

}  // namespace nolv
