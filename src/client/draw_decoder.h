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

#include "client/draw_items.h"
#include "client/mediafoundation.h"
#include "net/packet.h"
#include "platform/event_loop.h"
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
