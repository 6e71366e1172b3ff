// Server windows: the geometry between server units and local pixels, and creating the local
// window for each server window.
#include "client/window.h"

#include <algorithm>
#include <utility>

#include "client/client.h"
#include "client/scaling.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";

std::uint32_t rounded_side(double v) {
  return std::max<std::uint32_t>(1, saturate_round<std::uint32_t>(v));
}

std::string hex_option(std::optional<std::uint64_t> v) {
  return v ? fmt::format("Some({:x})", *v) : std::string("None");
}

// Items of the window-creation packets: item 6 is the properties mapping.
constexpr std::size_t kNewWindowItems = 7;

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

bool window_size_allowed(std::uint32_t server_w, std::uint32_t server_h, std::uint32_t local_w,
                         std::uint32_t local_h) {
  const auto side_fits = [](std::uint32_t side) { return side <= kMaxWindowSide; };
  return side_fits(server_w) && side_fits(server_h) && side_fits(local_w) && side_fits(local_h) &&
         std::uint64_t{server_w} * server_h <= kMaxWindowPixels &&
         std::uint64_t{local_w} * local_h <= kMaxWindowPixels;
}

bool place_client_area(Window& window, std::int32_t x_local, std::int32_t y_local) {
  if (!window.inner_position()) return false;
  window.set_inner_position(PhysicalPosition{x_local, y_local});
  return true;
}

// ---- window creation --------------------------------------------------------------------------

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
  if (!window_size_allowed(server_w, server_h, local_w, local_h)) {
    log_error(kLog, "failed to create window: {}x{} is too large", w, h);
    return;
  }
  if (!window_pixels_fit(std::uint64_t{server_w} * server_h + std::uint64_t{local_w} * local_h,
                         wid)) {
    log_error(kLog, "failed to create window: {}x{} exceeds the memory left for windows", w, h);
    return;
  }

  WindowAttributes attributes;
  attributes.kind = override_redirect ? WindowKind::OverrideRedirect : WindowKind::Managed;
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
  cursors_and_icons.show_current(wid, *window);
  if (!resumed) fatal("softbuffer context not initialized");
  // A window without its surface is no window: it closes again as it goes out of scope.
  auto surface = window->create_surface();
  if (!surface) {
    log_error(kLog, "failed to create window: failed to create softbuffer surface: {}",
              surface.message());
    return;
  }
  if (Status sized = (*surface)->resize(local_w, local_h); !sized) {
    log_error(kLog, "failed to create window: failed to size softbuffer surface: {}",
              sized.message());
    return;
  }
  // The toolkit makes a surface's memory on its first use and the system its pages on their
  // first write: both happen here, not on the path of the first draw's answer. Black is what
  // the back buffer holds too.
  if (auto warm = (*surface)->buffer(); warm)
    std::fill(warm->pixels.begin(), warm->pixels.end(), 0u);

  ClientWindow record;
  record.owner = owner;
  record.parent = metadata.parent;
  // The back buffer is black until the first draw, which often covers it whole: 8 MB of zeros
  // are written only if something needs them.
  record.column_map = build_index_map(local_w, server_w, scale);
  record.row_map = build_index_map(local_h, server_h, scale);
  record.window = window;
  record.surface = std::move(*surface);
  record.bands = &present_bands;
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

}  // namespace nolv
