#include "client/keyboard.h"

#include <fmt/format.h>

#include "util/format.h"
#include "util/log.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";

// "modifiers-keynames", else "modifier_keycodes": modifier name to keysyms, a keysym either
// itself or in a list beside its keycode.
ModifierMap modifier_map_from(const Yaml& caps) {
  ModifierMap map;
  for (std::string_view key : {"modifiers-keynames", "modifier_keycodes"}) {
    const Yaml* value = yaml_dict_get(caps, key);
    if (value == nullptr || value->as_hash() == nullptr) continue;
    for (const auto& [name, list] : *value->as_hash()) {
      const std::string* modifier = name.as_string();
      const Yaml::Array* items = list.as_array();
      if (modifier == nullptr || items == nullptr) continue;
      for (const Yaml& item : *items) {
        if (const std::string* keysym = item.as_string()) {
          map[*keysym] = *modifier;
        } else if (const Yaml::Array* group = item.as_array()) {
          for (const Yaml& member : *group) {
            if (const std::string* member_name = member.as_string()) map[*member_name] = *modifier;
          }
        }
      }
    }
    if (!map.empty()) break;
  }
  return map;
}

std::string modifier_map_text(const ModifierMap& map) {
  std::string out = "{";
  bool first = true;
  for (const auto& [keysym, modifier] : map) {
    out += fmt::format("{}\"{}\": \"{}\"", first ? "" : ", ", keysym, modifier);
    first = false;
  }
  return out + "}";
}

}  // namespace

void Keyboard::read_server_modifiers(const Yaml& caps) {
  modifier_map_ = modifier_map_from(caps);
  log_debug(kLog, "server modifier map: {}", log_value(modifier_map_text(modifier_map_)));
}

void Keyboard::send_layout() {
  if (!layout_) return;
  log_info(kLog, "keyboard layout: {}", *layout_);
  send_packet_(Value::array({"keyboard-config", {{"force", true}, {"layout", *layout_}}}));
}

void Keyboard::handle_input(std::uint64_t wid, const KeyboardInput& input) {
  const KeyEventNames names = key_event_names(input.logical_key);
  send_packet_(keyboard_event_packet(wid, names, input.pressed, input.scancode,
                                     key_event_modifiers(modifier_state_, modifier_map_)));
}

}  // namespace nolv
