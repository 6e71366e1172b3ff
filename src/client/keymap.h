// Keys as the server names them: keysym names, key values and modifier names of the
// "keyboard-event" packet, built from the platform's logical key and modifier state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/packet.h"
#include "platform/window.h"

namespace nolv {

// What a logical key is called on the wire.
struct KeyEventNames {
  std::string name;    // keysym name; empty when the key has none
  std::string string;  // the text the key produces; empty for named and dead keys
  std::uint32_t keyval = 0;
  friend bool operator==(const KeyEventNames&, const KeyEventNames&) = default;
};

KeyEventNames key_event_names(const LogicalKey& key);

// The keysym name of a named key; empty for a key the server is not told the name of.
std::string_view named_key_keysym(NamedKey key);
// The keysym name of a one-character punctuation text; empty for any other character.
std::string_view character_keysym(char32_t character);
// The keysym name of a dead key's character; empty for any other or no character.
std::string_view dead_key_keysym(std::optional<char32_t> character);
// A one-character text's character itself up to U+00FF, else with 0x1000000 added; 0 for any
// other text (empty, several characters, or not UTF-8).
std::uint32_t keyval_for_text(std::string_view text);

// Keysym name to the server's modifier name (the server hello's modifier map).
using ModifierMap = std::map<std::string, std::string>;

// The modifier name of the first of `keysyms` that `map` holds, else `fallback`.
std::string modifier_for_keysyms(const ModifierMap& map,
                                 const std::vector<std::string_view>& keysyms,
                                 std::string_view fallback);

// The modifier names of a modifier state (kModifier* bits), in the order shift, control, alt,
// super.
std::vector<std::string> key_event_modifiers(std::uint32_t modifier_state, const ModifierMap& map);

// ["keyboard-event", wid, name, pressed, {"group", "keycode", "keyval", "modifiers", "string"}]
Value keyboard_event_packet(std::uint64_t wid, const KeyEventNames& names, bool pressed,
                            std::uint32_t keycode, const std::vector<std::string>& modifiers);

}  // namespace nolv
