#include "client/paint_draw.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "client/bands.h"
#include "client/client.h"
#include "client/picture_buffers.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {

namespace {

constexpr std::string_view kClientLog = "nolv::client::client";
constexpr std::string_view kWindowLog = "nolv::client::window";

std::int64_t clamp64(std::int64_t v, std::int64_t lo, std::int64_t hi) {
  return std::max(lo, std::min(v, hi));
}

// width x 4 x height in bytes; saturates where the product passes 64 bits, since two 32-bit
// sides from the network could otherwise wrap to a small size that passes the length check.
std::uint64_t picture_bytes(std::uint32_t width, std::uint32_t height) {
  const std::uint64_t row = std::uint64_t{width} * 4;
  if (height != 0 && row > UINT64_MAX / height) return UINT64_MAX;
  return row * height;
}

std::uint32_t load_le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// One 32-bit lane per pixel, read little-endian: bytes b0 b1 b2 b3 are the value
// b3 << 24 | b2 << 16 | b1 << 8 | b0.
std::uint32_t bgrx_lane(std::uint32_t v) {
  return v & 0x00ffffffu;
}
std::uint32_t rgba_lane(std::uint32_t v) {
  return (v & 0xffu) << 16 | (v & 0xff00u) | ((v >> 16) & 0xffu);
}

#if defined(__SSE2__)
// Four pixels at a time: the same lane operations as above.
__m128i bgrx_lanes(__m128i v) {
  return _mm_and_si128(v, _mm_set1_epi32(0x00ffffff));
}
__m128i rgba_lanes(__m128i v) {
  const __m128i low = _mm_set1_epi32(0xff);
  return _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, low), 16),
                                   _mm_and_si128(v, _mm_set1_epi32(0xff00))),
                      _mm_and_si128(_mm_srli_epi32(v, 16), low));
}
#endif

template <PixelOrder order>
void convert_row(std::uint32_t* dst, const std::uint8_t* src, std::size_t count) {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
#if defined(__SSE2__)
    for (; i + 4 <= count; i += 4) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                       order == PixelOrder::Bgrx ? bgrx_lanes(v) : rgba_lanes(v));
    }
#endif
    for (; i < count; ++i) {
      const std::uint32_t v = load_le32(src + i * 4);
      dst[i] = order == PixelOrder::Bgrx ? bgrx_lane(v) : rgba_lane(v);
    }
  } else {
    for (; i < count; ++i) {
      const std::uint8_t* p = src + i * 4;
      dst[i] = order == PixelOrder::Bgrx
                   ? std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]
                   : std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    }
  }
}

}  // namespace

PixelOrder pixel_order_of(std::string_view coding) {
  return coding == "jpeg" || coding == "h264" || coding == "webp" || coding == "mmap"
             ? PixelOrder::Bgrx
             : PixelOrder::Rgba;
}

DecodedDraw read_decoded_draw(Packet& packet) {
  DecodedDraw d{read_draw_items(packet.items)};
  d.pixels = packet_get_bytes(packet, draw_item::kData);
  d.decode_time_us = packet.decode_time_us.value_or(0);
  return d;
}

void paint_rect(std::span<std::uint32_t> back_buffer, std::uint32_t server_w,
                std::uint32_t server_h, std::int32_t x, std::int32_t y, std::uint32_t width,
                std::uint32_t height, PixelOrder order, std::span<const std::uint8_t> pixels,
                BandWorkers* bands) {
  const std::int64_t w = width;
  const std::int64_t h = height;
  const std::int64_t c0 = clamp64(-std::int64_t{x}, 0, w);
  const std::int64_t c1 = clamp64(std::int64_t{server_w} - x, c0, w);
  const std::int64_t r0 = clamp64(-std::int64_t{y}, 0, h);
  const std::int64_t r1 = clamp64(std::int64_t{server_h} - y, r0, h);
  if (c1 <= c0 || r1 <= r0) return;
  // The caller has checked the source length; the buffer is checked here so that a window
  // whose buffer lags behind its sizes is never written past its end.
  if (static_cast<std::uint64_t>(back_buffer.size()) <
          std::uint64_t{server_w} * std::uint64_t{server_h} ||
      static_cast<std::uint64_t>(pixels.size()) < picture_bytes(width, height)) {
    return;
  }
  const std::size_t count = static_cast<std::size_t>(c1 - c0);
  for_each_band(
      bands, static_cast<std::uint64_t>(r0), static_cast<std::uint64_t>(r1), count,
      [&](std::uint64_t first, std::uint64_t end) {
        for (auto r = static_cast<std::int64_t>(first); r < static_cast<std::int64_t>(end); ++r) {
          const std::uint8_t* src = pixels.data() + static_cast<std::size_t>(r * w * 4 + c0 * 4);
          std::uint32_t* dst = back_buffer.data() +
                               static_cast<std::size_t>((r + y) * std::int64_t{server_w} + x + c0);
          if (order == PixelOrder::Bgrx) {
            convert_row<PixelOrder::Bgrx>(dst, src, count);
          } else {
            convert_row<PixelOrder::Rgba>(dst, src, count);
          }
        }
      });
}

std::optional<Rect> damage_rect(std::int32_t x, std::int32_t y, std::uint32_t width,
                                std::uint32_t height, std::uint32_t server_w,
                                std::uint32_t server_h, std::uint32_t local_w,
                                std::uint32_t local_h, double scale) {
  const std::int64_t x0 = std::max<std::int64_t>(x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(y, 0);
  const std::int64_t x1 =
      std::min<std::int64_t>(std::max<std::int64_t>(x + std::int64_t{width}, 0), server_w);
  const std::int64_t y1 =
      std::min<std::int64_t>(std::max<std::int64_t>(y + std::int64_t{height}, 0), server_h);
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  if (local_w == server_w && local_h == server_h) {
    return Rect{static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0),
                static_cast<std::uint32_t>(x1 - x0), static_cast<std::uint32_t>(y1 - y0)};
  }
  const std::uint32_t lx0 =
      saturate_cast<std::uint32_t>(std::floor(static_cast<double>(x0) * scale));
  const std::uint32_t ly0 =
      saturate_cast<std::uint32_t>(std::floor(static_cast<double>(y0) * scale));
  const std::uint32_t lx1 =
      std::min(saturate_cast<std::uint32_t>(std::ceil(static_cast<double>(x1) * scale)), local_w);
  const std::uint32_t ly1 =
      std::min(saturate_cast<std::uint32_t>(std::ceil(static_cast<double>(y1) * scale)), local_h);
  if (lx1 <= lx0 || ly1 <= ly0) return std::nullopt;
  return Rect{lx0, ly0, lx1 - lx0, ly1 - ly0};
}

namespace {

// The steps every decoded draw goes through; `paint` puts its pixels into the window.
template <typename Paint>
PaintOutcome paint_with(PaintTarget& target, const DecodedDraw& draw, Paint&& paint) {
  if (draw.pixels.empty()) return PaintOutcome::NoPixels;
  log_debug(kWindowLog, "paint({}, {}, {}, {}, {}, {}, {} bytes)", draw.packet_sequence, draw.x,
            draw.y, draw.width, draw.height, log_value(draw.coding), draw.pixels.size());
  const std::uint64_t needed = picture_bytes(draw.width, draw.height);
  if (draw.pixels.size() < needed) {
    log_error(kWindowLog, "pixel data is too small! got {} bytes, expected {}", draw.pixels.size(),
              needed);
    return PaintOutcome::TooSmall;
  }
  const auto start = std::chrono::steady_clock::now();
  paint();
  if (log_enabled(LogLevel::Trace)) {
    log_trace(kWindowLog, "perf: paint wid={} {}x{} converted in {}", draw.wid, draw.width,
              draw.height,
              format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - start)));
  }
  if (target.track_damage && target.damage != nullptr) {
    if (auto rect = damage_rect(draw.x, draw.y, draw.width, draw.height, target.server_w,
                                target.server_h, target.local_w, target.local_h, target.scale)) {
      target.damage->push_back(*rect);
    }
  }
  return PaintOutcome::Painted;
}

}  // namespace

PaintOutcome paint_decoded_draw(PaintTarget& target, const DecodedDraw& draw) {
  return paint_with(target, draw, [&] {
    paint_rect(target.back_buffer, target.server_w, target.server_h, draw.x, draw.y, draw.width,
               draw.height, pixel_order_of(draw.coding), draw.pixels, target.bands);
  });
}

bool covers_whole_buffer(const DecodedDraw& draw, std::uint32_t server_w, std::uint32_t server_h) {
  return draw.x == 0 && draw.y == 0 && draw.width == server_w && draw.height == server_h &&
         pixel_order_of(draw.coding) == PixelOrder::Bgrx;
}

PaintOutcome hand_over_decoded_draw(PaintTarget& target, DecodedDraw& draw, Bytes& held) {
  return paint_with(target, draw, [&] { std::swap(held, draw.pixels); });
}

void convert_rect(std::span<const std::uint8_t> picture, std::span<std::uint32_t> dst,
                  std::uint32_t width, const Rect& r, PixelOrder order, BandWorkers* bands) {
  const std::uint64_t x1 = std::min<std::uint64_t>(std::uint64_t{r.x} + r.width, width);
  if (r.x >= x1) return;
  const std::uint64_t held = std::min<std::uint64_t>(picture.size() / 4, dst.size()) / width;
  const std::uint64_t y1 = std::min<std::uint64_t>(std::uint64_t{r.y} + r.height, held);
  if (r.y >= y1) return;
  const std::size_t count = static_cast<std::size_t>(x1 - r.x);
  for_each_band(bands, r.y, y1, count, [&](std::uint64_t first, std::uint64_t end) {
    for (std::uint64_t row = first; row < end; ++row) {
      const std::size_t at = static_cast<std::size_t>(row * width + r.x);
      if (order == PixelOrder::Bgrx) {
        convert_row<PixelOrder::Bgrx>(dst.data() + at, picture.data() + at * 4, count);
      } else {
        convert_row<PixelOrder::Rgba>(dst.data() + at, picture.data() + at * 4, count);
      }
    }
  });
}

Value window_ack_packet(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                        std::uint32_t height, std::int64_t decode_time, std::string message) {
  Value time =
      decode_time >= 0 ? Value(static_cast<std::uint64_t>(decode_time)) : Value(decode_time);
  return Value::array(
      {"window-ack", wid, width, height, packet_sequence, std::move(time), std::move(message)});
}

// ---- the dispatcher's picture rows: draws go to the "decode" thread, its results are painted
// here and answered once presented ----

void Client::handle_draw_decoded(ActiveEventLoop&, Packet& packet) {
  DecodedDraw draw = read_decoded_draw(packet);
  PendingAck ack{draw.packet_sequence,
                 draw.wid,
                 draw.width,
                 draw.height,
                 static_cast<std::int64_t>(draw.decode_time_us),
                 "",
                 false};
  auto it = windows.find(draw.wid);
  if (it == windows.end()) {
    picture_buffers().give_back(std::move(draw.pixels));
    ack.decode_time = -1;
    ack.message = "window not found!";
    queue_window_ack(std::move(ack));
    return;
  }
  log_trace(kClientLog, "drawing {} on {}", log_value(draw.coding), draw.wid);
  ClientWindow& window = it->second;
  // A whole-window picture is held as it is, not copied: a video stream's frames reach the
  // screen in one pass.
  const bool whole = covers_whole_buffer(draw, window.server_w, window.server_h);
  PaintTarget paint_target{whole ? std::span<std::uint32_t>() : window.pixels(),
                           window.server_w,
                           window.server_h,
                           window.local_w,
                           window.local_h,
                           window.scale,
                           window.track_damage,
                           &window.damage,
                           window.bands};
  const PaintOutcome outcome = whole ? hand_over_decoded_draw(paint_target, draw, window.picture)
                                     : paint_decoded_draw(paint_target, draw);
  const bool painted = outcome == PaintOutcome::Painted;
  if (whole && painted) window.drop_back_buffer();
  picture_buffers().give_back(std::move(draw.pixels));
  ack.unshown = painted && window.window;
  if (ack.unshown) ++window.unshown_draws;
  queue_window_ack(std::move(ack));
  if (window_acks.size() >= kMaxUnshownDraws) {
    present_waiting_windows();
  } else if (window.unshown_draws > 0) {
    post_present();
  }
}

// The server sends the next draw only once this one is answered, so waiting for the toolkit's
// next redraw (a timer of several milliseconds) would stall the whole picture road. The event
// queues behind pictures already decoded, which are painted first and shown by one present.
void Client::post_present() {
  if (present_posted) return;
  present_posted = proxy.send_event(make_internal_event("present-windows", ""));
  // A loop that takes no more events is ending: the answers go now instead.
  if (!present_posted) present_waiting_windows();
}

void Client::handle_present_windows(ActiveEventLoop&, Packet&) {
  present_posted = false;
  present_waiting_windows();
}

void Client::present_waiting_windows() {
  for (auto& [wid, window] : windows) {
    if (window.unshown_draws > 0) present_window(window);
  }
}

void Client::handle_draw_failed(ActiveEventLoop&, Packet& packet) {
  const DrawItems draw = read_draw_items(packet.items);
  queue_window_ack({draw.packet_sequence, draw.wid, draw.width, draw.height, -1,
                    packet_get_str(packet.items, draw_item::kData), false});
}

void Client::present_window(ClientWindow& window) {
  const Status shown = window.draw_screen();
  acknowledge_unshown_draws(window, shown);
}

void Client::acknowledge_unshown_draws(ClientWindow& window, const Status& shown) {
  window.unshown_draws = 0;
  for (PendingAck& ack : window_acks) {
    if (!ack.unshown || ack.wid != window.wid) continue;
    ack.unshown = false;
    if (!shown) {
      ack.decode_time = -1;
      ack.message = shown.message();
    }
  }
  send_ready_window_acks();
}

void Client::queue_window_ack(PendingAck ack) {
  window_acks.push_back(std::move(ack));
  send_ready_window_acks();
}

void Client::send_ready_window_acks() {
  while (!window_acks.empty() && !window_acks.front().unshown) {
    PendingAck ack = std::move(window_acks.front());
    window_acks.pop_front();
    send_window_ack(ack.packet_sequence, ack.wid, ack.width, ack.height, ack.decode_time,
                    std::move(ack.message));
  }
}

void Client::send_window_ack(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                             std::uint32_t height, std::int64_t decode_time, std::string message) {
  send_packet(
      window_ack_packet(packet_sequence, wid, width, height, decode_time, std::move(message)));
}

}  // namespace nolv
