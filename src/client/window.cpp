#include "client/window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "client/client.h"
#include "client/damage.h"
#include "client/scaling.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";
constexpr std::string_view kWindowLog = "nolv::client::window";

std::uint32_t rounded_side(double v) {
  return std::max<std::uint32_t>(1, saturate_round<std::uint32_t>(v));
}

std::optional<std::int32_t> integer_rule(const Yaml* v) {
  if (v == nullptr) return std::nullopt;
  auto in_range = [](long double d) -> std::optional<std::int32_t> {
    if (std::isnan(d) || d < std::numeric_limits<std::int32_t>::min() ||
        d > std::numeric_limits<std::int32_t>::max() || d != std::trunc(d))
      return std::nullopt;
    return static_cast<std::int32_t>(d);
  };
  if (auto i = v->as_integer()) return in_range(static_cast<long double>(*i));
  const std::string* text = v->as_real_text();
  if (text == nullptr) text = v->as_string();
  if (text == nullptr || text->empty()) return std::nullopt;
  char* end = nullptr;
  const long double d = std::strtold(text->c_str(), &end);
  if (end != text->c_str() + text->size()) return std::nullopt;
  return in_range(d);
}

// The first two items of a list of at least two, both Integers in the i32 range.
std::optional<std::pair<std::int32_t, std::int32_t>> i32_pair(const Yaml* v) {
  if (v == nullptr || v->as_array() == nullptr || v->as_array()->size() < 2) return std::nullopt;
  auto a = (*v->as_array())[0].as_integer();
  auto b = (*v->as_array())[1].as_integer();
  if (!a || !b || !std::in_range<std::int32_t>(*a) || !std::in_range<std::int32_t>(*b))
    return std::nullopt;
  return std::pair(static_cast<std::int32_t>(*a), static_cast<std::int32_t>(*b));
}

std::optional<std::uint64_t> window_id_key(const Yaml& m, std::string_view key) {
  auto v = yaml_dict_get_positive(m, key);
  return v ? std::optional(static_cast<std::uint64_t>(*v)) : std::nullopt;
}

std::optional<PhysicalSize> physical(std::optional<std::pair<std::uint32_t, std::uint32_t>> s) {
  if (!s) return std::nullopt;
  return PhysicalSize{s->first, s->second};
}

std::string hex_option(std::optional<std::uint64_t> v) {
  return v ? fmt::format("Some({:x})", *v) : std::string("None");
}

}  // namespace

// ---- geometry ---------------------------------------------------------------------------------

std::uint32_t local_size(std::uint32_t server, double scale) {
  return rounded_side(static_cast<double>(server) * scale);
}

std::int32_t local_position(std::int32_t server, double scale) {
  return saturate_round<std::int32_t>(static_cast<double>(server) * scale);
}

std::uint32_t server_size(std::uint32_t local, double scale) {
  return rounded_side(static_cast<double>(local) / scale);
}

std::pair<std::int32_t, std::int32_t> virtual_desktop_offset(
    const std::vector<MonitorInfo>& monitors, std::int32_t x, std::int32_t y) {
  if (monitors.empty()) return {x, y};
  std::int32_t min_x = monitors.front().x;
  std::int32_t min_y = monitors.front().y;
  for (const MonitorInfo& m : monitors) {
    min_x = std::min(min_x, m.x);
    min_y = std::min(min_y, m.y);
  }
  return {add_saturating(x, min_x), add_saturating(y, min_y)};
}

std::optional<Value> monitor_at_point(const std::vector<MonitorInfo>& monitors, std::int32_t x,
                                      std::int32_t y) {
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const MonitorInfo& m = monitors[i];
    if (m.x <= x && std::int64_t{x} < std::int64_t{m.x} + m.width && m.y <= y &&
        std::int64_t{y} < std::int64_t{m.y} + m.height) {
      return Value{{"index", i},
                   {"position", Value::array({std::int64_t{x} - m.x, std::int64_t{y} - m.y})}};
    }
  }
  return std::nullopt;
}

LogicalGeometry window_logical_geometry(const Window& window, double scale) {
  const PhysicalPosition p = window.inner_position().value_or(PhysicalPosition{});
  const PhysicalSize s = window.inner_size();
  return LogicalGeometry{saturate_round<std::int32_t>(p.x / scale),
                         saturate_round<std::int32_t>(p.y / scale), server_size(s.width, scale),
                         server_size(s.height, scale)};
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> scale_size_limit(
    std::optional<std::pair<std::uint32_t, std::uint32_t>> limit, double scale) {
  if (!limit) return std::nullopt;
  return std::pair(local_size(limit->first, scale), local_size(limit->second, scale));
}

Value pointer_monitor_info(const std::vector<MonitorInfo>& monitors, std::int32_t x,
                           std::int32_t y) {
  Value info = Value::object();
  if (auto m = monitor_at_point(monitors, x, y)) info["monitor"] = std::move(*m);
  return info;
}

bool place_client_area(Window& window, std::int32_t x_local, std::int32_t y_local) {
  if (!window.inner_position()) return false;
  window.set_inner_position(PhysicalPosition{x_local, y_local});
  return true;
}

// ---- metadata ---------------------------------------------------------------------------------

WindowMetadata WindowMetadata::parse(const Yaml& m) {
  WindowMetadata md;
  if (m.as_hash() == nullptr) return md;
  md.transient_for = window_id_key(m, "transient-for");
  md.parent = window_id_key(m, "parent");
  md.title = yaml_dict_get_string(m, "title");
  if (auto list = yaml_dict_get_str_list(m, "class-instance");
      list && list->size() >= 2 && !(*list)[1].empty())
    md.class_instance = std::pair((*list)[0], (*list)[1]);
  md.window_type = yaml_dict_get_str_list(m, "window-type");
  md.icon_title = yaml_dict_get_string(m, "icon-title");
  md.workspace = integer_rule(yaml_dict_get(m, "workspace"));
  md.opacity = integer_rule(yaml_dict_get(m, "opacity"));
  md.relative_position = i32_pair(yaml_dict_get(m, "relative-position"));
  if (const Yaml* c = yaml_dict_get(m, "size-constraints"); c != nullptr && c->as_hash()) {
    md.size_constraints = true;
    md.minimum_size = yaml_dict_get_size(*c, "minimum-size");
    md.maximum_size = yaml_dict_get_size(*c, "maximum-size");
    md.increment = yaml_dict_get_size(*c, "increment");
  }
  md.decorations = yaml_dict_get_bool(m, "decorations");
  md.fullscreen = yaml_dict_get_bool(m, "fullscreen");
  md.maximized = yaml_dict_get_bool(m, "maximized");
  md.iconic = yaml_dict_get_bool(m, "iconic");
  md.above = yaml_dict_get_bool(m, "above");
  md.below = yaml_dict_get_bool(m, "below");
  md.attention_requested = yaml_dict_get_bool(m, "attention-requested");
  md.skip_taskbar = yaml_dict_get_bool(m, "skip-taskbar");
  md.skip_pager = yaml_dict_get_bool(m, "skip-pager");
  md.sticky = yaml_dict_get_bool(m, "sticky");
  md.shaded = yaml_dict_get_bool(m, "shaded");
  md.modal = yaml_dict_get_bool(m, "modal");
  return md;
}

void ClientWindow::apply_metadata(const WindowMetadata& md) {
  Window& w = *window;
  if (md.title) w.set_title(*md.title);
  if (md.decorations) w.set_decorations(*md.decorations && !override_redirect);
  if (md.size_constraints) {
    w.set_min_inner_size(physical(scale_size_limit(md.minimum_size, scale)));
    w.set_max_inner_size(physical(scale_size_limit(md.maximum_size, scale)));
    w.set_resize_increments(physical(scale_size_limit(md.increment, scale)));
    const bool fixed = md.minimum_size && md.maximum_size && *md.minimum_size == *md.maximum_size;
    w.set_resizable(!override_redirect && !fixed);
  }
  if (md.fullscreen) w.set_fullscreen(*md.fullscreen);
  if (md.maximized) w.set_maximized(*md.maximized);
  if (md.iconic) w.set_minimized(*md.iconic);
  if (md.above) {
    above = *md.above;
    if (*md.above) below = false;
  }
  if (md.below) {
    below = *md.below;
    if (*md.below) above = false;
  }
  if (md.above || md.below)
    w.set_window_level(above   ? WindowLevel::AlwaysOnTop
                       : below ? WindowLevel::AlwaysOnBottom
                               : WindowLevel::Normal);
  if (md.skip_taskbar) w.set_skip_taskbar(*md.skip_taskbar);
  if (md.attention_requested)
    w.request_user_attention(*md.attention_requested && !override_redirect);
}

// ---- presenting -------------------------------------------------------------------------------

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
  auto copy_rect = [&](const Rect& r) {
    if (same_size) {
      // Damage is clipped to the surface by its producers; clip again so no row overruns.
      const std::uint32_t x1 = std::min<std::uint64_t>(std::uint64_t{r.x} + r.width, local_w);
      const std::uint32_t y1 = std::min<std::uint64_t>(std::uint64_t{r.y} + r.height, local_h);
      for (std::uint32_t row = r.y; row < y1 && r.x < x1; ++row) {
        const std::size_t at = std::size_t{row} * local_w + r.x;
        std::copy_n(back_buffer.begin() + static_cast<std::ptrdiff_t>(at), x1 - r.x,
                    dst.begin() + static_cast<std::ptrdiff_t>(at));
      }
    } else {
      scale_rect(back_buffer, server_w, dst, local_w, r, column_map, row_map);
    }
  };
  if (full) {
    if (same_size) {
      std::copy_n(back_buffer.begin(), std::min(back_buffer.size(), dst.size()), dst.begin());
    } else if (local_w != 0 && local_h != 0) {
      scale_rect(back_buffer, server_w, dst, local_w, Rect{0, 0, local_w, local_h}, column_map,
                 row_map);
    }
  } else {
    // Draws between two presents often repaint the same area, and the buffer's older frames
    // overlap this one's: each pixel is copied once.
    std::vector<Rect> all = taken;
    for (std::size_t i = 0; i + 1 < age && i < damage_history.size(); ++i)
      all.insert(all.end(), damage_history[i].begin(), damage_history[i].end());
    rects = disjoint_cover(all);
    for (const Rect& r : *rects) copy_rect(r);
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

// ---- window creation --------------------------------------------------------------------------

namespace {

// A window's back buffer holds server_w x server_h pixels; beyond this many the allocation would
// reach 1 GiB, far past any real display, so such a window is refused.
constexpr std::uint64_t kMaxWindowPixels = std::uint64_t{1} << 28;

// Items of the window-creation packets: item 6 is the properties mapping.
constexpr std::size_t kNewWindowItems = 7;

}  // namespace

void Client::new_window(ActiveEventLoop& loop, Packet& packet, bool override_redirect_packet) {
  const auto& items = packet.items;
  if (items.size() < kNewWindowItems) {
    log_warn(kLog, "ignoring {} packet with {} items", log_value(packet_get_str(items, 0)),
             items.size());
    return;
  }
  const std::uint64_t wid = packet_get_usize(items, 1);
  auto [x, y] =
      virtual_desktop_offset(monitors, packet_get_i32(items, 2), packet_get_i32(items, 3));
  const std::uint32_t w = packet_get_u32(items, 4);
  const std::uint32_t h = packet_get_u32(items, 5);
  const Yaml& properties = items[6];
  bool override_redirect = override_redirect_packet;
  if (!override_redirect_packet)
    override_redirect = yaml_dict_get_bool(properties, "override-redirect").value_or(false);
  log_debug(kLog, "new window {:#x}, override-redirect={}", wid, override_redirect);

  const WindowMetadata metadata = WindowMetadata::parse(properties);
  const std::string title = metadata.title.value_or("");
  std::optional<std::uint64_t> owner;
  if (auto candidate = metadata.transient_for ? metadata.transient_for : metadata.parent;
      candidate && windows.contains(*candidate))
    owner = candidate;
  const bool modal = metadata.modal.value_or(false) && !override_redirect;
  if (metadata.parent && metadata.relative_position) {
    if (auto it = windows.find(*metadata.parent); it != windows.end()) {
      const LogicalGeometry g = window_logical_geometry(*it->second.window, it->second.scale);
      x = add_saturating(g.x, metadata.relative_position->first);
      y = add_saturating(g.y, metadata.relative_position->second);
    }
  }
  const bool decorated = !override_redirect && metadata.decorations.value_or(true);
  const std::int32_t x_local = local_position(x, scale);
  const std::int32_t y_local = local_position(y, scale);
  const std::uint32_t server_w = std::max<std::uint32_t>(w, 1);
  const std::uint32_t server_h = std::max<std::uint32_t>(h, 1);
  const std::uint32_t local_w = local_size(server_w, scale);
  const std::uint32_t local_h = local_size(server_h, scale);
  if (std::uint64_t{server_w} * server_h > kMaxWindowPixels ||
      std::uint64_t{local_w} * local_h > kMaxWindowPixels) {
    log_error(kLog, "failed to create window: {}x{} is too large", w, h);
    return;
  }
  if (!window_pixels_fit(std::uint64_t{server_w} * server_h + std::uint64_t{local_w} * local_h,
                         wid)) {
    log_error(kLog, "failed to create window: {}x{} exceeds the memory left for windows", w, h);
    return;
  }

  WindowAttributes attributes;
  attributes.title = title;
  attributes.inner_size = PhysicalSize{local_size(w, scale), local_size(h, scale)};
  attributes.position = PhysicalPosition{x_local, y_local};
  attributes.resizable = !override_redirect;
  attributes.decorations = decorated;
  attributes.skip_taskbar = metadata.skip_taskbar.value_or(false);
  if (owner) attributes.owner = windows.at(*owner).window;
  auto created = loop.create_window(attributes);
  if (!created) {
    log_error(kLog, "failed to create window: {}", quoted_text(log_value(created.message())));
    return;
  }
  std::shared_ptr<Window> window = std::move(*created);
  log_info(kLog, "new window {:#x} : {}", wid, quoted_text(log_value(title)));
  if (owner || modal)
    log_debug(kLog, "window {:#x}: owner={}, modal={}", wid, hex_option(owner), modal);
  if (cursor)
    if (Status set = window->set_custom_cursor(cursor); !set)
      log_debug(kLog, "window {:#x}: cursor not set: {}", wid, set.message());
  if (!resumed) fatal("softbuffer context not initialized");
  auto surface = window->create_surface();
  if (!surface) fatal("failed to create softbuffer surface");
  if (!(*surface)->resize(local_w, local_h)) fatal("failed to size softbuffer surface");

  ClientWindow record;
  record.owner = owner;
  record.parent = metadata.parent;
  record.back_buffer.assign(std::size_t{server_w} * server_h, 0);
  record.column_map = build_index_map(local_w, server_w, scale);
  record.row_map = build_index_map(local_h, server_h, scale);
  record.window = window;
  record.surface = std::move(*surface);
  record.wid = wid;
  record.scale = scale;
  record.server_w = server_w;
  record.server_h = server_h;
  record.local_w = local_w;
  record.local_h = local_h;
  record.override_redirect = override_redirect;
  record.modal = modal;
  if (decorated) place_client_area(*window, x_local, y_local);
  record.apply_metadata(metadata);

  // A replaced window's native id would otherwise stay behind, and its grab goes with it.
  if (auto old = windows.find(wid); old != windows.end()) {
    if (pointer_grab == wid) release_pointer_grab();
    acknowledge_unshown_draws(old->second, fail("window not found!"));
    window_ids.erase(old->second.window->id());
  }
  window_ids[window->id()] = wid;
  windows.insert_or_assign(wid, std::move(record));
  update_modal_windows();
  update_dock_icon();
  if (override_redirect) return;
  Value map = Value::array({"window-map", wid, x, y, w, h, Value::object(), Value::object()});
  if (auto monitor = window_monitor_info(wid, x, y)) map.push_back(std::move(*monitor));
  send_packet(std::move(map));
}

void Client::handle_new_window(ActiveEventLoop& loop, Packet& packet) {
  new_window(loop, packet, false);
}

void Client::handle_new_override_redirect(ActiveEventLoop& loop, Packet& packet) {
  new_window(loop, packet, true);
}

bool Client::window_pixels_fit(std::uint64_t pixels, std::uint64_t replaced) const {
  std::uint64_t in_use = 0;
  for (const auto& [wid, w] : windows) {
    if (wid == replaced) continue;
    in_use += std::uint64_t{w.server_w} * w.server_h + std::uint64_t{w.local_w} * w.local_h;
  }
  return in_use <= window_pixel_budget && pixels <= window_pixel_budget - in_use;
}

std::optional<Value> Client::window_monitor_info(std::uint64_t wid, std::int32_t x,
                                                 std::int32_t y) const {
  if (auto it = windows.find(wid); it != windows.end()) {
    if (auto native = it->second.window->current_monitor()) {
      Monitor m;
      const PhysicalPosition p = native->position.value_or(PhysicalPosition{});
      m.x = p.x;
      m.y = p.y;
      m.width = native->size.width;
      m.height = native->size.height;
      const MonitorInfo rect = monitor_logical_rect(m, scale);
      for (std::size_t i = 0; i < monitors.size(); ++i) {
        const MonitorInfo& r = monitors[i];
        if (r.x == rect.x && r.y == rect.y && r.width == rect.width && r.height == rect.height)
          return Value{
              {"index", i},
              {"position",
               Value::array({static_cast<std::int32_t>(static_cast<std::uint32_t>(x) - r.x),
                             static_cast<std::int32_t>(static_cast<std::uint32_t>(y) - r.y)})}};
      }
    }
  }
  return monitor_at_point(monitors, x, y);
}

// ---- metadata and modal windows ---------------------------------------------------------------

void Client::handle_window_metadata(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 3) {
    log_warn(kLog, "ignoring window-metadata packet with {} items", packet.items.size());
    return;
  }
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  const Yaml& value = packet.items[2];
  log_info(kLog, "window-metadata for {:#x}: {}", wid, log_value(to_string(value)));
  auto it = windows.find(wid);
  if (it == windows.end()) {
    log_warn(kLog, "window {:#x} not found!", wid);
    return;
  }
  ClientWindow& record = it->second;
  const WindowMetadata md = WindowMetadata::parse(value);
  record.apply_metadata(md);
  if (md.parent) record.parent = md.parent;
  if (md.relative_position && record.parent) {
    if (auto parent = windows.find(*record.parent); parent != windows.end()) {
      const LogicalGeometry g =
          window_logical_geometry(*parent->second.window, parent->second.scale);
      const std::int32_t x = add_saturating(g.x, md.relative_position->first);
      const std::int32_t y = add_saturating(g.y, md.relative_position->second);
      place_client_area(*record.window, local_position(x, record.scale),
                        local_position(y, record.scale));
    }
  }
  if (md.transient_for || md.parent) {
    const std::uint64_t candidate = md.transient_for ? *md.transient_for : *md.parent;
    if (windows.contains(candidate) && record.owner != candidate)
      log_debug(kLog,
                "window {:#x}: cannot change its owner to {:#x} after creation on this platform",
                wid, candidate);
  }
  if (md.modal) {
    const bool modal = *md.modal && !record.override_redirect;
    if (modal != record.modal) {
      record.modal = modal;
      update_modal_windows();
    }
  }
}

void Client::update_modal_windows() {
  std::vector<std::uint64_t> blocked;
  for (const auto& [wid, w] : windows)
    if (w.modal && w.owner) blocked.push_back(*w.owner);
  for (auto& [wid, w] : windows) {
    const bool is_blocked = std::find(blocked.begin(), blocked.end(), wid) != blocked.end();
    if (is_blocked && !w.disabled_by_modal) {
      log_debug(kLog, "window {:#x} disabled by a modal window", wid);
      w.window->set_input_enabled(false);
      w.disabled_by_modal = true;
    } else if (!is_blocked && w.disabled_by_modal) {
      log_debug(kLog, "window {:#x} enabled", wid);
      w.window->set_input_enabled(true);
      w.disabled_by_modal = false;
    }
  }
}

void Client::update_dock_icon() {
  const bool shown = has_auth_dialog() || !windows.empty();
  if (dock_icon == shown) return;
  log_debug(kLog, "dock icon {}", shown ? "shown" : "hidden");
  dock_icon = shown;
}

// ---- server window commands -------------------------------------------------------------------

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
  record.window->request_inner_size(
      PhysicalSize{local_size(w, record.scale), local_size(h, record.scale)});
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
  const double s = it->second.scale;
  it->second.window->request_inner_size(
      PhysicalSize{local_size(packet_get_u32(packet.items, 2), s),
                   local_size(packet_get_u32(packet.items, 3), s)});
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
  static_cast<void>(decode_sender.send(std::move(packet)));  // a stopped thread holds nothing
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
    if (std::uint64_t{sw} * sh > kMaxWindowPixels || std::uint64_t{lw} * lh > kMaxWindowPixels) {
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
      w.back_buffer.assign(std::size_t{sw} * sh, 0);
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
