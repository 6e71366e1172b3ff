// Window metadata: reading the server's properties, applying them to the local window, and
// modal windows.
#include "client/window.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "client/client.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";

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

// A limit past the side bound is the bound: no window may grow beyond it.
std::optional<PhysicalSize> physical(std::optional<std::pair<std::uint32_t, std::uint32_t>> s) {
  if (!s) return std::nullopt;
  return PhysicalSize{std::min(s->first, kMaxWindowSide), std::min(s->second, kMaxWindowSide)};
}

}  // namespace

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
  // Like the owner, the kind is the window's from its creation on: a managed window does not
  // become a menu, nor a menu a managed window.
  if (auto wants = yaml_dict_get_bool(value, "override-redirect");
      wants && *wants != record.override_redirect)
    log_debug(kLog, "window {:#x}: cannot change override-redirect to {} after creation", wid,
              *wants);
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

}  // namespace nolv
