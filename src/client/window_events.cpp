// Presenting a window's back buffer, and the local window events forwarded to the server.
#include "client/window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "client/client.h"
#include "client/damage.h"
#include "client/paint_draw.h"
#include "client/picture_buffers.h"
#include "client/scaling.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";
constexpr std::string_view kWindowLog = "nolv::client::window";

}  // namespace

// ---- presenting -------------------------------------------------------------------------------

std::span<std::uint32_t> ClientWindow::pixels() {
  const std::size_t size = std::size_t{server_w} * server_h;
  if (!picture.empty()) {
    back_buffer.resize(size);
    convert_rect(picture, back_buffer, server_w, Rect{0, 0, server_w, server_h}, PixelOrder::Bgrx,
                 bands);
    picture_buffers().give_back(std::exchange(picture, {}));
  } else if (back_buffer.size() != size) {
    back_buffer.assign(size, 0);
  }
  return back_buffer;
}

void ClientWindow::drop_back_buffer() {
  back_buffer = {};
}

void ClientWindow::clear_back_buffer() {
  picture_buffers().give_back(std::exchange(picture, {}));
  back_buffer = {};
}

namespace {

void fill_black(std::span<std::uint32_t> dst, std::uint32_t width, const Rect& r) {
  const std::uint64_t x1 = std::min<std::uint64_t>(std::uint64_t{r.x} + r.width, width);
  if (r.x >= x1) return;
  const std::uint64_t y1 =
      std::min<std::uint64_t>(std::uint64_t{r.y} + r.height, dst.size() / width);
  for (std::uint64_t row = r.y; row < y1; ++row) {
    std::fill_n(dst.data() + row * width + r.x, x1 - r.x, 0u);
  }
}

}  // namespace

Status ClientWindow::draw_screen() {
  log_trace(kWindowLog, "draw_screen wid={}", wid);
  std::vector<Rect> taken = std::exchange(damage, {});
  const bool same_size = local_w == server_w && local_h == server_h;
  auto buffer = surface->buffer();
  if (buffer && (buffer->width != local_w || buffer->height != local_h ||
                 buffer->pixels.size() != std::size_t{local_w} * local_h))
    buffer =
        fail("{}x{} pixels for a {}x{} window", buffer->width, buffer->height, local_w, local_h);
  if (!buffer) {
    Error failed = fail("failed to get softbuffer buffer: {}", buffer.message());
    log_error(kWindowLog, "{}", failed.message);
    damage = std::move(taken);
    return failed;
  }
  const std::uint32_t age = buffer->age;
  const bool full = !track_damage || age == 0 || damage_history.size() + 1 < age || taken.empty();
  std::span<std::uint32_t> dst = buffer->pixels;

  const auto copy_started = std::chrono::steady_clock::now();
  std::optional<std::vector<Rect>> rects;
  if (!same_size && !picture.empty()) (void)pixels();
  const bool black = picture.empty() && back_buffer.size() != std::size_t{server_w} * server_h;
  auto copy = [&](const Rect& r) {
    if (black) {
      fill_black(dst, local_w, r);
    } else if (!picture.empty()) {
      convert_rect(picture, dst, local_w, r, PixelOrder::Bgrx, bands);
    } else if (same_size) {
      copy_rect(back_buffer, dst, local_w, r, bands);
    } else {
      scale_rect(back_buffer, server_w, dst, local_w, r, column_map, row_map, bands);
    }
  };
  if (full) {
    copy(Rect{0, 0, local_w, local_h});
  } else {
    // Draws between two presents often repaint the same area, and the buffer's older frames
    // overlap this one's: each pixel is copied once.
    std::vector<Rect> all = taken;
    for (std::size_t i = 0; i + 1 < age && i < damage_history.size(); ++i)
      all.insert(all.end(), damage_history[i].begin(), damage_history[i].end());
    rects = disjoint_cover(all);
    for (const Rect& r : *rects) copy(r);
  }
  const auto copy_time = std::chrono::steady_clock::now() - copy_started;
  const auto present_started = std::chrono::steady_clock::now();
  Status presented = rects ? surface->present_with_damage(*rects) : surface->present();
  const auto present_time = std::chrono::steady_clock::now() - present_started;
  log_trace(kWindowLog, "perf: draw_screen wid={} full={} rects={} copy={} present={}", wid, full,
            rects ? rects->size() : 0, format_duration(copy_time), format_duration(present_time));
  if (!presented) {
    presented = fail("failed to present softbuffer buffer: {}", presented.message());
    log_error(kWindowLog, "{}", presented.message());
  }

  if (!track_damage) return presented;
  if (age == 0) {
    ++unknown_age_count;
    if (unknown_age_count > kMaxUnknownAgePresents) {
      log_debug(kWindowLog, "wid={} backend never reports a buffer age, not tracking damage", wid);
      track_damage = false;
      damage.clear();
      damage_history.clear();
      return presented;
    }
  } else {
    unknown_age_count = 0;
  }
  std::vector<Rect> entry;
  if (full && local_w != 0 && local_h != 0) {
    entry = {Rect{0, 0, local_w, local_h}};
  } else {
    entry = disjoint_cover(taken);
  }
  damage_history.push_front(std::move(entry));
  while (damage_history.size() > kDamageHistoryFrames) damage_history.pop_back();
  return presented;
}

// ---- window events ----------------------------------------------------------------------------

void Client::route_window_event(ActiveEventLoop&, WindowId window, WindowEvent& event) {
  if (auto it = window_ids.find(window); it != window_ids.end()) {
    handle_window_event(it->second, event);
    return;
  }
  log_trace(kLog, "window event for unknown window {}", window.native);
}

void Client::handle_window_event(std::uint64_t wid, WindowEvent& event) {
  std::visit(
      [&](auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, RedrawRequested>) {
          if (auto it = windows.find(wid); it != windows.end()) present_window(it->second);
        } else if constexpr (std::is_same_v<E, Resized> || std::is_same_v<E, Moved>) {
          handle_geometry_change(wid);
        } else if constexpr (std::is_same_v<E, CloseRequested>) {
          send_packet(Value::array({"window-close", wid}));
        } else if constexpr (std::is_same_v<E, Focused>) {
          auto it = windows.find(wid);
          if (e.focused && it != windows.end() && !it->second.override_redirect)
            send_packet(Value::array({"window-focus", wid}));
        } else if constexpr (std::is_same_v<E, KeyboardInput>) {
          handle_keyboard_input(wid, e);
        } else if constexpr (std::is_same_v<E, ModifiersChanged>) {
          handle_modifiers_changed(e);
        } else if constexpr (std::is_same_v<E, PointerGrabLost>) {
          if (pointer_grab != wid) return;
          pointer_grab.reset();
          log_debug(kLog, "pointer grab of window {:#x} ended by the display", wid);
        } else if constexpr (std::is_same_v<E, CursorMoved>) {
          auto it = windows.find(wid);
          if (it == windows.end()) return;
          ClientWindow& w = it->second;
          const PhysicalPosition origin = w.window->inner_position().value_or(PhysicalPosition{});
          const std::int32_t x =
              saturate_cast<std::int32_t>(std::floor((e.x + origin.x) / w.scale));
          const std::int32_t y =
              saturate_cast<std::int32_t>(std::floor((e.y + origin.y) / w.scale));
          w.pointer_x = x;
          w.pointer_y = y;
          send_packet(Value::array({"pointer-motion", 0, 0, wid, Value::array({x, y}),
                                    pointer_monitor_info(monitors, x, y)}));
        } else if constexpr (std::is_same_v<E, MouseInput>) {
          auto it = windows.find(wid);
          if (it == windows.end()) return;
          std::int8_t button = 1;
          switch (e.button.kind) {
            case MouseButtonKind::Left:
              button = 1;
              break;
            case MouseButtonKind::Middle:
              button = 2;
              break;
            case MouseButtonKind::Right:
              button = 3;
              break;
            case MouseButtonKind::Back:
              button = 8;
              break;
            case MouseButtonKind::Forward:
              button = 9;
              break;
            case MouseButtonKind::Other:
              button = static_cast<std::int8_t>(static_cast<std::uint8_t>(e.button.other & 0xFF));
              break;
          }
          send_pointer_button(wid, button, e.pressed, it->second.pointer_x, it->second.pointer_y);
        } else if constexpr (std::is_same_v<E, MouseWheel>) {
          auto it = windows.find(wid);
          if (it == windows.end()) return;
          const auto [dx, dy] = std::visit(
              [](const auto& d) {
                return std::pair(static_cast<float>(d.x), static_cast<float>(d.y));
              },
              e.delta);
          const std::int32_t px = it->second.pointer_x;
          const std::int32_t py = it->second.pointer_y;
          auto click = [&](std::int8_t button) {
            send_pointer_button(wid, button, true, px, py);
            send_pointer_button(wid, button, false, px, py);
          };
          if (!(dy == 0.0F)) click(dy > 0 ? 4 : 5);
          if (!(dx == 0.0F)) click(dx > 0 ? 6 : 7);
        } else {
          log_trace(kLog, "unhandled window event {} on wid={}", to_string(WindowEvent(e)), wid);
        }
      },
      event);
}

void Client::send_pointer_button(std::uint64_t wid, std::int8_t button, bool pressed,
                                 std::int32_t x, std::int32_t y) {
  send_packet(Value::array({"pointer-button", 0, 0, wid, static_cast<std::int64_t>(button), pressed,
                            Value::array({x, y}), pointer_monitor_info(monitors, x, y)}));
}

void Client::handle_geometry_change(std::uint64_t wid) {
  auto it = windows.find(wid);
  if (it == windows.end()) return;
  ClientWindow& w = it->second;
  if (w.window->is_minimized().value_or(false)) {
    log_debug(kLog, "window {} is minimized, keeping its remote geometry", wid);
    return;
  }
  const PhysicalSize size = w.window->inner_size();
  const std::uint32_t lw = std::max<std::uint32_t>(size.width, 1);
  const std::uint32_t lh = std::max<std::uint32_t>(size.height, 1);
  if (lw != w.local_w || lh != w.local_h) {
    const std::uint32_t sw = server_size(lw, w.scale);
    const std::uint32_t sh = server_size(lh, w.scale);
    log_debug(kWindowLog, "resize wid={} to {}x{} ({}x{} on screen)", wid, sw, sh, lw, lh);
    if (!window_size_allowed(sw, sh, lw, lh)) {
      log_error(kWindowLog, "failed to resize softbuffer surface: {}x{} is too large", lw, lh);
    } else if (!window_pixels_fit(std::uint64_t{sw} * sh + std::uint64_t{lw} * lh, wid)) {
      log_error(kWindowLog,
                "failed to resize softbuffer surface: {}x{} exceeds the memory left for windows",
                lw, lh);
    } else if (Status resized = w.surface->resize(lw, lh); !resized) {
      log_error(kWindowLog, "failed to resize softbuffer surface: {}", resized.message());
    } else {
      w.local_w = lw;
      w.local_h = lh;
      w.server_w = sw;
      w.server_h = sh;
      w.column_map = build_index_map(lw, sw, w.scale);
      w.row_map = build_index_map(lh, sh, w.scale);
      w.clear_back_buffer();
      w.damage.clear();
      w.damage_history.clear();
      w.window->request_redraw();
    }
  }
  const LogicalGeometry g = window_logical_geometry(*w.window, w.scale);
  log_debug(kLog, "updated window geometry: {},{},{},{}", g.x, g.y, g.width, g.height);
  Value extra = {{"geometry", Value::array({g.x, g.y, g.width, g.height})}};
  if (auto monitor = window_monitor_info(wid, g.x, g.y)) extra["monitor"] = std::move(*monitor);
  send_packet(Value::array({"window-configure", wid, std::move(extra)}));
}

}  // namespace nolv
