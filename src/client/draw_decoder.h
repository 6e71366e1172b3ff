// The "decode" thread: turns "draw" packets into pixels away from the event loop and posts them
// back as "draw-decoded" or "decoding-failed"; releases a window's H.264 decoder on its
// "eos"/"lost-window" packets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "client/draw_items.h"
#include "client/h264_decoder.h"
#include "net/packet.h"
#include "platform/event_proxy.h"
#include "util/channel.h"
#include "util/result.h"
#include "util/thread.h"

namespace nolv {

// Stack of the "decode" thread.
inline constexpr std::size_t kDecodeThreadStack = kWorkerStackSize;

// Draws and release packets for the "decode" thread, unbounded: the session's backlog bounds
// what waits here. It closes once every sender is gone.
using DecodeChannel = Channel<Packet>;
using DecodeSender = Sender<Packet>;
using DecodeReceiver = Receiver<Packet>;

// Blocks for the next packet; when nothing has come for `idle`, runs `on_idle` once and waits on.
std::optional<Packet> receive_or_idle(DecodeReceiver& receiver, std::chrono::milliseconds idle,
                                      const std::function<void()>& on_idle);

struct DecodeThreadContext {
  DecodeReceiver receiver;
  EventLoopProxy proxy;
};

// Window ids the reader remembers, far above what any desktop shows. A server that opens more
// without closing them gets ids that are not remembered: their H.264 decoders are released after
// every draw, which costs such a stream its pictures rather than the client its memory.
inline constexpr std::size_t kMaxRoutedWindows = 65536;

// The reader's way to the event loop. Draws and ends of stream go from the reader straight to
// the "decode" thread, so a draw never waits while the loop paints or presents; everything else
// goes to the loop. Why the order still holds:
// - A packet read before a draw is on the loop's queue before the draw is on the channel, and
//   the decoded draw is posted to the same queue after that, so the loop has made the draw's
//   window (or handled anything else read first) before it paints.
// - Draws, ends of stream and releases of a window's H.264 decoder reach the decode thread in the
//   order read, so a stream's frames, its end, and a window id taken again after a
//   "lost-window" cannot overtake one another. The release is sent here at its place in the
//   stream; the loop, which handles "lost-window" too, sends none.
// - An H.264 draw for a window id that no window read so far has is followed by a release, so the
//   decoder it made does not live on until a "lost-window" that may never come.
// - Each packet keeps its backlog charge until the thread that takes it drops it.
// Only packets read from the connection are routed by name. Used by the reader thread alone.
class DrawRoute : public EventSink {
 public:
  DrawRoute(EventLoopProxy loop, DecodeSender decode)
      : loop_(std::move(loop)), decode_(std::move(decode)) {}
  bool post(Packet packet) override;
  bool post_batch(std::vector<Packet> packets) override;

 private:
  void to_decoder(Packet packet);
  EventLoopProxy loop_;
  DecodeSender decode_;
  std::unordered_set<std::uint64_t> windows_;
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
