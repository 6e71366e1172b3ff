// What the server asks of its windows: moves and resizes, raising, pointer grabs, removal.
#include "client/window.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "client/client.h"
#include "util/log.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";

// Asks for the window's new inner size, unless no window may have it.
void request_size(const ClientWindow& record, std::uint32_t w, std::uint32_t h) {
  const std::uint32_t local_w = local_size(w, record.scale);
  const std::uint32_t local_h = local_size(h, record.scale);
  if (!window_size_allowed(std::max<std::uint32_t>(w, 1), std::max<std::uint32_t>(h, 1), local_w,
                           local_h)) {
    log_error(kLog, "cannot resize: window {:#x}: {}x{} is too large", record.wid, w, h);
    return;
  }
  record.window->request_inner_size(PhysicalSize{local_w, local_h});
}

}  // namespace

void Client::move_resize_window(Packet& packet) {
  const auto& items = packet.items;
  const std::uint64_t wid = packet_get_usize(items, 1);
  auto [x, y] =
      virtual_desktop_offset(monitors, packet_get_i32(items, 2), packet_get_i32(items, 3));
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_error(kLog, "cannot move-resize: window {:#x} not found", wid);
    return;
  }
  const ClientWindow& record = it->second;
  const std::uint32_t w = packet_get_u32(items, 4);
  const std::uint32_t h = packet_get_u32(items, 5);
  if (!place_client_area(*record.window, local_position(x, record.scale),
                         local_position(y, record.scale)))
    log_debug(kLog,
              "window {:#x}: absolute positioning is not supported on this platform (Wayland)",
              wid);
  request_size(record, w, h);
}

void Client::handle_window_move_resize(ActiveEventLoop&, Packet& packet) {
  move_resize_window(packet);
}

void Client::handle_window_resized(ActiveEventLoop&, Packet& packet) {
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_error(kLog, "cannot resize: window {:#x} not found", wid);
    return;
  }
  request_size(it->second, packet_get_u32(packet.items, 2), packet_get_u32(packet.items, 3));
}

void Client::handle_initiate_moveresize(ActiveEventLoop&, Packet& packet) {
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  const std::uint32_t direction = packet_get_u32(packet.items, 4);
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_error(kLog, "cannot initiate move-resize: window {:#x} not found", wid);
    return;
  }
  static constexpr ResizeDirection kEdges[] = {
      ResizeDirection::NorthWest, ResizeDirection::North,     ResizeDirection::NorthEast,
      ResizeDirection::East,      ResizeDirection::SouthEast, ResizeDirection::South,
      ResizeDirection::SouthWest, ResizeDirection::West,
  };
  Window& window = *it->second.window;
  Status started;
  if (direction < std::size(kEdges)) {
    started = window.drag_resize_window(kEdges[direction]);
  } else if (direction == 8) {
    started = window.drag_window();
  } else {
    log_debug(kLog, "ignoring unsupported initiate-moveresize direction {}", direction);
    return;
  }
  if (!started)
    log_debug(kLog, "window {:#x}: move-resize not started: {}", wid, started.message());
}

void Client::handle_raise_window(ActiveEventLoop&, Packet& packet) {
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_error(kLog, "cannot raise: window {:#x} not found", wid);
    return;
  }
  Window& window = *it->second.window;
  if (window.has_focus()) return;
  if (window.is_visible() && !window.is_minimized().value_or(false)) window.focus_window();
}

void Client::handle_show_desktop(ActiveEventLoop&, Packet& packet) {
  const bool show = packet.items.size() >= 2 && packet_get_bool(packet.items);
  log_debug(kLog, "show-desktop: {}", show);
  for (auto& [wid, w] : windows) w.window->set_minimized(show);
}

void Client::handle_pointer_position(ActiveEventLoop&, Packet& packet) {
  const auto& items = packet.items;
  if (items.size() < 4) {
    std::string rest;
    for (std::size_t i = 1; i < items.size(); ++i)
      rest += (i > 1 ? ", " : "") + to_string(items[i]);
    log_debug(kLog, "pointer-position: [{}]", rest);
    return;
  }
  const bool relative = items.size() >= 6;
  log_debug(kLog, "pointer-position: {},{} ({},{} relative to window {:#x})",
            packet_get_i32(items, 2), packet_get_i32(items, 3),
            relative ? packet_get_i32(items, 4) : -1, relative ? packet_get_i32(items, 5) : -1,
            packet_get_usize(items, 1));
}

void Client::handle_pointer_grab(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_warn(kLog, "ignoring malformed pointer-grab packet with no window id");
    return;
  }
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  if (pointer_grab == wid) return;
  if (pointer_grab) release_pointer_grab();
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_warn(kLog, "cannot grab pointer: window {:#x} not found", wid);
    return;
  }
  if (it->second.override_redirect) {
    log_debug(kLog, "not confining the pointer to override-redirect window {:#x}", wid);
    pointer_grab.reset();
    return;
  }
  if (Status grabbed = it->second.window->set_cursor_grab(CursorGrabMode::Confined); !grabbed) {
    log_debug(kLog, "not confining the pointer to window {:#x}: {}", wid, grabbed.message());
    return;
  }
  pointer_grab = wid;
  log_debug(kLog, "pointer grabbed by window {:#x}", wid);
}

void Client::handle_pointer_ungrab(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() >= 2)
    log_debug(kLog, "pointer-ungrab requested for window {}", packet_get_i64(packet.items, 1));
  release_pointer_grab();
}

void Client::release_pointer_grab() {
  const std::optional<std::uint64_t> grabbed = std::exchange(pointer_grab, std::nullopt);
  if (!grabbed) return;
  auto it = windows.find(*grabbed);
  if (it == windows.end()) return;
  if (Status released = it->second.window->set_cursor_grab(CursorGrabMode::None); released) {
    log_debug(kLog, "pointer grab released for window {:#x}", *grabbed);
  } else {
    log_warn(kLog, "failed to release pointer grab for window {:#x}: {}", *grabbed,
             released.message());
  }
}

void Client::handle_lost_window(ActiveEventLoop&, Packet& packet) {
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  if (pointer_grab == wid) release_pointer_grab();
  if (auto it = windows.find(wid); it == windows.end()) {
    log_warn(kLog, "window {:#x} not found!", wid);
  } else {
    ClientWindow record = std::move(it->second);
    windows.erase(it);
    acknowledge_unshown_draws(record, fail("window not found!"));
    window_ids.erase(record.window->id());
    update_modal_windows();
    // `record` goes here: its surface, buffers and native window.
  }
  update_dock_icon();
}

}  // namespace nolv
