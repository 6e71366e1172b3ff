// The session's keyboard: the keyboard layout, the server's modifier map and the local modifier
// state, and the packets they make. Event-loop thread only, like the session that owns it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "client/keymap.h"
#include "net/packet.h"
#include "platform/window.h"

namespace nolv {

class Keyboard {
 public:
  // How the keyboard reaches the session: it only ever sends packets.
  using SendPacket = std::function<void(Value)>;

  explicit Keyboard(SendPacket send_packet) : send_packet_(std::move(send_packet)) {}

  // The layout named in "keyboard-config"; none sends no config and asks for no keymap.
  void use_layout(std::optional<std::string> layout) { layout_ = std::move(layout); }
  const std::optional<std::string>& layout() const { return layout_; }

  // Takes the modifier map of the server's hello, empty when the hello holds none.
  void read_server_modifiers(const Yaml& caps);
  // "keyboard-config" with the layout, when one is known.
  void send_layout();

  // One "keyboard-event" packet with the last modifier state; the window is not looked up.
  void handle_input(std::uint64_t wid, const KeyboardInput& input);
  // Keeps the new modifier state for the next key; sends nothing.
  void handle_modifiers_changed(const ModifiersChanged& change) { modifier_state_ = change.state; }

  const ModifierMap& modifier_map() const { return modifier_map_; }
  std::uint32_t modifier_state() const { return modifier_state_; }

 private:
  SendPacket send_packet_;
  std::optional<std::string> layout_;
  ModifierMap modifier_map_;
  std::uint32_t modifier_state_ = 0;  // kModifier* bits of the last ModifiersChanged
};

// The layout name of a language id, from the table of 138 rows; none when absent.
std::optional<std::string_view> keyboard_layout_for_language(std::uint16_t language_id);

// NOLV_KEYBOARD_LAYOUT trimmed when set and not blank, else the system's layout.
std::optional<std::string> choose_keyboard_layout(const std::optional<std::string>& setting,
                                                  const std::optional<std::string>& system);

}  // namespace nolv
