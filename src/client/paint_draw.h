// Painting decoded draws into a window's server-size back buffer, the damage they leave in local
// pixels, and the "window-ack" that answers every draw. The Client's picture handlers (draws to
// the "decode" thread, its results painted, answers once presented) are defined in paint_draw.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/draw_items.h"
#include "net/packet.h"
#include "platform/window.h"

namespace nolv {

// The byte order of decoded pixels: B, G, R, X (jpeg, webp, h264, mmap) or R, G, B, A (png and
// anything else).
enum class PixelOrder : std::uint8_t { Bgrx, Rgba };
PixelOrder pixel_order_of(std::string_view coding);

// The parts of a window that painting touches.
class BandWorkers;

struct PaintTarget {
  std::span<std::uint32_t> back_buffer;  // server_w x server_h pixels of 0x00RRGGBB
  std::uint32_t server_w = 0;
  std::uint32_t server_h = 0;
  std::uint32_t local_w = 0;
  std::uint32_t local_h = 0;
  double scale = 1.0;
  bool track_damage = true;
  std::vector<Rect>* damage = nullptr;
  BandWorkers* bands = nullptr;  // helpers for a large picture; none: the caller alone
};

// The items of a "draw-decoded" packet that painting reads.
struct DecodedDraw : DrawItems {
  Bytes pixels;
  std::uint64_t decode_time_us = 0;
};
DecodedDraw read_decoded_draw(Packet& packet);

enum class PaintOutcome : std::uint8_t {
  Painted,   // converted what is visible (possibly nothing), damage recorded: redraw
  NoPixels,  // an H.264 draw without a picture: nothing to do
  TooSmall,  // fewer bytes than width x height x 4: nothing painted
};

// Steps of painting one decoded draw, short of the redraw request and the acknowledgement.
PaintOutcome paint_decoded_draw(PaintTarget& target, const DecodedDraw& draw);

// A draw whose B, G, R, X pixels cover the whole back buffer: the window can hold the decoded
// picture in its place instead of painting it (see ClientWindow::picture).
[[nodiscard]] bool covers_whole_buffer(const DecodedDraw& draw, std::uint32_t server_w,
                                       std::uint32_t server_h);

// As paint_decoded_draw for a draw that covers_whole_buffer: the checks, logs and damage are the
// same, but the pixels are swapped into `held` (the window's picture) rather than converted; the
// picture held before is left in draw.pixels for the caller to give back.
PaintOutcome hand_over_decoded_draw(PaintTarget& target, DecodedDraw& draw, Bytes& held);

// Converts the rectangle `r` of a picture of 4-byte pixels, `width` pixels a row, into the same
// place of `dst`, whose rows are as wide; with `bands`, a large one over their helpers.
void convert_rect(std::span<const std::uint8_t> picture, std::span<std::uint32_t> dst,
                  std::uint32_t width, const Rect& r, PixelOrder order,
                  BandWorkers* bands = nullptr);

// Copies the visible part of the rectangle into the back buffer, converting each pixel; with
// `bands`, a large rectangle is split over their helper threads.
void paint_rect(std::span<std::uint32_t> back_buffer, std::uint32_t server_w,
                std::uint32_t server_h, std::int32_t x, std::int32_t y, std::uint32_t width,
                std::uint32_t height, PixelOrder order, std::span<const std::uint8_t> pixels,
                BandWorkers* bands = nullptr);

// The local pixels that the painted server pixels reach; none when nothing visible was painted.
std::optional<Rect> damage_rect(std::int32_t x, std::int32_t y, std::uint32_t width,
                                std::uint32_t height, std::uint32_t server_w,
                                std::uint32_t server_h, std::uint32_t local_w,
                                std::uint32_t local_h, double scale);

// ["window-ack", wid, width, height, packet_sequence, decode time (-1: not painted), message]
Value window_ack_packet(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                        std::uint32_t height, std::int64_t decode_time, std::string message);

}  // namespace nolv
