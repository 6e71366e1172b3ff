#include "client/keymap.h"

#include "util/overload.h"
#include "util/text.h"

#include <array>
#include <utility>

namespace nolv {
namespace {

// Characters above Latin-1 travel as Unicode keysyms: the code point plus this offset.
constexpr std::uint32_t kUnicodeKeysymOffset = 0x1000000;
constexpr char32_t kLatin1Last = 0xFF;
constexpr char32_t kPrintableFirst = 0x20;

constexpr std::pair<char32_t, std::string_view> kCharacterKeysyms[] = {
    {U'-', "minus"},       {U'=', "equal"},        {U',', "comma"},       {U'.', "period"},
    {U'/', "slash"},       {U';', "semicolon"},    {U'\'', "apostrophe"}, {U'`', "grave"},
    {U'[', "bracketleft"}, {U']', "bracketright"}, {U'\\', "backslash"},  {U'+', "plus"},
    {U'_', "underscore"},  {U'!', "exclam"},       {U'@', "at"},          {U'#', "numbersign"},
    {U'$', "dollar"},      {U'%', "percent"},      {U'^', "asciicircum"}, {U'&', "ampersand"},
    {U'*', "asterisk"},    {U'(', "parenleft"},    {U')', "parenright"},  {U'{', "braceleft"},
    {U'}', "braceright"},  {U'|', "bar"},          {U':', "colon"},       {U'"', "quotedbl"},
    {U'<', "less"},        {U'>', "greater"},      {U'?', "question"},    {U'~', "asciitilde"},
};

constexpr std::pair<char32_t, std::string_view> kDeadKeysyms[] = {
    {U'\u005E', "dead_circumflex"}, {U'\u0060', "dead_grave"},     {U'\u007E', "dead_tilde"},
    {U'\u00A8', "dead_diaeresis"},  {U'\u00B0', "dead_abovering"}, {U'\u00B4', "dead_acute"},
    {U'\u00B8', "dead_cedilla"},
};

}  // namespace

std::string_view named_key_keysym(NamedKey key) {
  switch (key) {
    case NamedKey::Alt:
      return "Alt_L";
    case NamedKey::AltGraph:
      return "ISO_Level3_Shift";
    case NamedKey::CapsLock:
      return "Caps_Lock";
    case NamedKey::Control:
      return "Control_L";
    case NamedKey::NumLock:
      return "Num_Lock";
    case NamedKey::ScrollLock:
      return "Scroll_Lock";
    case NamedKey::Shift:
      return "Shift_L";
    case NamedKey::Super:
      return "Super_L";
    case NamedKey::Enter:
      return "Return";
    case NamedKey::Tab:
      return "Tab";
    case NamedKey::Space:
      return "space";
    case NamedKey::ArrowDown:
      return "Down";
    case NamedKey::ArrowLeft:
      return "Left";
    case NamedKey::ArrowRight:
      return "Right";
    case NamedKey::ArrowUp:
      return "Up";
    case NamedKey::End:
      return "End";
    case NamedKey::Home:
      return "Home";
    case NamedKey::PageDown:
      return "Next";
    case NamedKey::PageUp:
      return "Prior";
    case NamedKey::Backspace:
      return "BackSpace";
    case NamedKey::Delete:
      return "Delete";
    case NamedKey::Insert:
      return "Insert";
    case NamedKey::ContextMenu:
      return "Menu";
    case NamedKey::Escape:
      return "Escape";
    case NamedKey::Pause:
      return "Pause";
    case NamedKey::PrintScreen:
      return "Print";
    case NamedKey::F1:
      return "F1";
    case NamedKey::F2:
      return "F2";
    case NamedKey::F3:
      return "F3";
    case NamedKey::F4:
      return "F4";
    case NamedKey::F5:
      return "F5";
    case NamedKey::F6:
      return "F6";
    case NamedKey::F7:
      return "F7";
    case NamedKey::F8:
      return "F8";
    case NamedKey::F9:
      return "F9";
    case NamedKey::F10:
      return "F10";
    case NamedKey::F11:
      return "F11";
    case NamedKey::F12:
      return "F12";
    default:
      return {};
  }
}

std::string_view character_keysym(char32_t character) {
  for (const auto& [c, name] : kCharacterKeysyms) {
    if (c == character) return name;
  }
  return {};
}

std::string_view dead_key_keysym(std::optional<char32_t> character) {
  if (!character) return {};
  for (const auto& [c, name] : kDeadKeysyms) {
    if (c == *character) return name;
  }
  return {};
}

std::uint32_t keyval_for_text(std::string_view text) {
  const auto c = single_code_point(text);
  if (!c) return 0;
  if (*c >= kPrintableFirst && *c <= kLatin1Last) return static_cast<std::uint32_t>(*c);
  return static_cast<std::uint32_t>(*c) + kUnicodeKeysymOffset;
}

KeyEventNames key_event_names(const LogicalKey& key) {
  return std::visit(
      Overload{
          [](NamedKey k) {
            return KeyEventNames{std::string(named_key_keysym(k)), {}, 0};
          },
          [](const CharacterKey& k) {
            const auto c = single_code_point(k.text);
            const std::string_view table_name = c ? character_keysym(*c) : std::string_view{};
            return KeyEventNames{table_name.empty() ? k.text : std::string(table_name), k.text,
                                 keyval_for_text(k.text)};
          },
          [](const DeadKey& k) {
            return KeyEventNames{std::string(dead_key_keysym(k.character)), {}, 0};
          },
          [](const UnidentifiedKey&) { return KeyEventNames{}; },
      },
      key);
}

std::string modifier_for_keysyms(const ModifierMap& map,
                                 const std::vector<std::string_view>& keysyms,
                                 std::string_view fallback) {
  for (const std::string_view keysym : keysyms) {
    if (auto it = map.find(std::string(keysym)); it != map.end()) return it->second;
  }
  return std::string(fallback);
}

std::vector<std::string> key_event_modifiers(std::uint32_t modifier_state, const ModifierMap& map) {
  std::vector<std::string> names;
  if ((modifier_state & kModifierShift) != 0) names.emplace_back("shift");
  if ((modifier_state & kModifierControl) != 0) names.emplace_back("control");
  if ((modifier_state & kModifierAlt) != 0) {
    names.push_back(modifier_for_keysyms(map, {"Alt_L", "Alt_R", "Meta_L", "Meta_R"}, "mod1"));
  }
  if ((modifier_state & kModifierSuper) != 0) {
    names.push_back(modifier_for_keysyms(map, {"Super_L", "Super_R"}, "mod4"));
  }
  return names;
}

Value keyboard_event_packet(std::uint64_t wid, const KeyEventNames& names, bool pressed,
                            std::uint32_t keycode, const std::vector<std::string>& modifiers) {
  Value extra = Value::object();
  extra["group"] = 0;
  extra["keycode"] = keycode;
  extra["keyval"] = names.keyval;
  extra["modifiers"] = modifiers;
  extra["string"] = names.string;
  return Value::array({"keyboard-event", wid, names.name, pressed, std::move(extra)});
}

}  // namespace nolv
