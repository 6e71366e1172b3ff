#include "client/keymap.h"

#include <gtest/gtest.h>

namespace nolv {
namespace {

struct NameCase {
  LogicalKey key;
  KeyEventNames expected;
};

TEST(KeyEventNames, TableOfLogicalKeys) {
  const NameCase cases[] = {
      {CharacterKey{"a"}, {"a", "a", 0x61}},
      {CharacterKey{"A"}, {"A", "A", 0x41}},
      {CharacterKey{"1"}, {"1", "1", 0x31}},
      {CharacterKey{" "}, {" ", " ", 0x20}},
      {CharacterKey{"\xC3\xA9"}, {"\xC3\xA9", "\xC3\xA9", 0xE9}},       // é
      {CharacterKey{"\xC3\xBF"}, {"\xC3\xBF", "\xC3\xBF", 0xFF}},       // ÿ, last Latin-1
      {CharacterKey{"\xC4\x80"}, {"\xC4\x80", "\xC4\x80", 0x1000100}},  // Ā
      {CharacterKey{"\xE2\x82\xAC"}, {"\xE2\x82\xAC", "\xE2\x82\xAC", 0x10020AC}},  // €
      {CharacterKey{"\xF0\x9F\x98\x80"}, {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", 0x101F600}},
      {CharacterKey{"\x01"}, {"\x01", "\x01", 0x1000001}},  // a control character
      {CharacterKey{"\xEF\xAC\x81"}, {"\xEF\xAC\x81", "\xEF\xAC\x81", 0x100FB01}},  // ﬁ, one char
      {CharacterKey{"fi"}, {"fi", "fi", 0}},  // two characters
      {CharacterKey{""}, {"", "", 0}},
      {CharacterKey{"\xC3"}, {"\xC3", "\xC3", 0}},              // truncated UTF-8
      {CharacterKey{"\xC0\xA1"}, {"\xC0\xA1", "\xC0\xA1", 0}},  // overlong form of '!'
      {CharacterKey{"-"}, {"minus", "-", 0x2D}},
      {CharacterKey{"~"}, {"asciitilde", "~", 0x7E}},
      {CharacterKey{"\""}, {"quotedbl", "\"", 0x22}},
      {CharacterKey{"\\"}, {"backslash", "\\", 0x5C}},
      {CharacterKey{"-="}, {"-=", "-=", 0}},
      {NamedKey::Enter, {"Return", "", 0}},
      {NamedKey::Space, {"space", "", 0}},
      {NamedKey::PageDown, {"Next", "", 0}},
      {NamedKey::PageUp, {"Prior", "", 0}},
      {NamedKey::AltGraph, {"ISO_Level3_Shift", "", 0}},
      {NamedKey::ContextMenu, {"Menu", "", 0}},
      {NamedKey::PrintScreen, {"Print", "", 0}},
      {NamedKey::F5, {"F5", "", 0}},
      {NamedKey::F12, {"F12", "", 0}},
      {NamedKey::F13, {"", "", 0}},
      {NamedKey::Meta, {"", "", 0}},
      {NamedKey::Fn, {"", "", 0}},
      {NamedKey::Other, {"", "", 0}},
      {DeadKey{U'\u005E'}, {"dead_circumflex", "", 0}},
      {DeadKey{U'\u00A8'}, {"dead_diaeresis", "", 0}},
      {DeadKey{U'\u00B8'}, {"dead_cedilla", "", 0}},
      {DeadKey{U'\u02C7'}, {"", "", 0}},  // caron: not in the table
      {DeadKey{std::nullopt}, {"", "", 0}},
      {UnidentifiedKey{}, {"", "", 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_event_names(c.key), c.expected) << to_string(c.key);
  }
}

TEST(KeyEventNames, EveryNamedKeyOfTheTable) {
  const std::pair<NamedKey, std::string_view> table[] = {
      {NamedKey::Alt, "Alt_L"},          {NamedKey::AltGraph, "ISO_Level3_Shift"},
      {NamedKey::CapsLock, "Caps_Lock"}, {NamedKey::Control, "Control_L"},
      {NamedKey::NumLock, "Num_Lock"},   {NamedKey::ScrollLock, "Scroll_Lock"},
      {NamedKey::Shift, "Shift_L"},      {NamedKey::Super, "Super_L"},
      {NamedKey::Enter, "Return"},       {NamedKey::Tab, "Tab"},
      {NamedKey::Space, "space"},        {NamedKey::ArrowDown, "Down"},
      {NamedKey::ArrowLeft, "Left"},     {NamedKey::ArrowRight, "Right"},
      {NamedKey::ArrowUp, "Up"},         {NamedKey::End, "End"},
      {NamedKey::Home, "Home"},          {NamedKey::PageDown, "Next"},
      {NamedKey::PageUp, "Prior"},       {NamedKey::Backspace, "BackSpace"},
      {NamedKey::Delete, "Delete"},      {NamedKey::Insert, "Insert"},
      {NamedKey::ContextMenu, "Menu"},   {NamedKey::Escape, "Escape"},
      {NamedKey::Pause, "Pause"},        {NamedKey::PrintScreen, "Print"},
  };
  for (const auto& [key, name] : table) EXPECT_EQ(named_key_keysym(key), name) << to_string(key);
  for (int i = 0; i < 12; ++i) {
    const auto key = static_cast<NamedKey>(static_cast<int>(NamedKey::F1) + i);
    EXPECT_EQ(named_key_keysym(key), "F" + std::to_string(i + 1));
  }
  for (auto key = static_cast<int>(NamedKey::F13); key <= static_cast<int>(NamedKey::F24); ++key) {
    EXPECT_EQ(named_key_keysym(static_cast<NamedKey>(key)), "");
  }
}

TEST(KeyEventNames, EveryPunctuationCharacterOfTheTable) {
  const std::string_view table[][2] = {
      {"-", "minus"},       {"=", "equal"},        {",", "comma"},       {".", "period"},
      {"/", "slash"},       {";", "semicolon"},    {"'", "apostrophe"},  {"`", "grave"},
      {"[", "bracketleft"}, {"]", "bracketright"}, {"\\", "backslash"},  {"+", "plus"},
      {"_", "underscore"},  {"!", "exclam"},       {"@", "at"},          {"#", "numbersign"},
      {"$", "dollar"},      {"%", "percent"},      {"^", "asciicircum"}, {"&", "ampersand"},
      {"*", "asterisk"},    {"(", "parenleft"},    {")", "parenright"},  {"{", "braceleft"},
      {"}", "braceright"},  {"|", "bar"},          {":", "colon"},       {"\"", "quotedbl"},
      {"<", "less"},        {">", "greater"},      {"?", "question"},    {"~", "asciitilde"},
  };
  for (const auto& [text, name] : table) {
    const auto names = key_event_names(CharacterKey{std::string(text)});
    EXPECT_EQ(names.name, name);
    EXPECT_EQ(names.string, text);
    EXPECT_EQ(names.keyval, static_cast<std::uint32_t>(text[0]));
  }
}

TEST(KeyEventNames, EveryDeadKeyOfTheTable) {
  const std::pair<char32_t, std::string_view> table[] = {
      {0x5E, "dead_circumflex"}, {0x60, "dead_grave"},     {0x7E, "dead_tilde"},
      {0xA8, "dead_diaeresis"},  {0xB0, "dead_abovering"}, {0xB4, "dead_acute"},
      {0xB8, "dead_cedilla"},
  };
  for (const auto& [c, name] : table) EXPECT_EQ(dead_key_keysym(c), name);
  EXPECT_EQ(dead_key_keysym(U'a'), "");
}

struct ModifierCase {
  std::uint32_t state;
  ModifierMap map;
  std::vector<std::string> expected;
};

TEST(KeyEventModifiers, OrderDefaultsAndServerNames) {
  const ModifierCase cases[] = {
      {0, {}, {}},
      {kModifierShift | kModifierAlt, {}, {"shift", "mod1"}},
      {kModifierShift | kModifierControl | kModifierAlt | kModifierSuper,
       {},
       {"shift", "control", "mod1", "mod4"}},
      {kModifierSuper | kModifierControl, {}, {"control", "mod4"}},
      {kModifierAlt, {{"Meta_L", "mod3"}}, {"mod3"}},
      {kModifierAlt, {{"Meta_R", "mod5"}, {"Alt_R", "mod2"}, {"Meta_L", "mod3"}}, {"mod2"}},
      {kModifierAlt, {{"Meta_R", "mod5"}, {"Alt_L", "mod1x"}}, {"mod1x"}},
      {kModifierSuper, {{"Super_R", "mod3"}}, {"mod3"}},
      // shift and control are never looked up
      {kModifierShift | kModifierControl,
       {{"Shift_L", "lock"}, {"Control_L", "x"}},
       {"shift", "control"}},
      {kModifierAlt, {{"Super_L", "mod4"}}, {"mod1"}},
      {1U << 20, {}, {}},  // bits the client does not know
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_event_modifiers(c.state, c.map), c.expected) << c.state;
  }
}

TEST(ModifierForKeysyms, FirstInListOrderWins) {
  const ModifierMap map = {{"b", "B"}, {"a", "A"}};
  EXPECT_EQ(modifier_for_keysyms(map, {"a", "b"}, "d"), "A");
  EXPECT_EQ(modifier_for_keysyms(map, {"b", "a"}, "d"), "B");
  EXPECT_EQ(modifier_for_keysyms(map, {"c"}, "d"), "d");
  EXPECT_EQ(modifier_for_keysyms(map, {}, "d"), "d");
}

TEST(KeyboardEventPacket, ItemsAndSortedKeys) {
  const Value packet = keyboard_event_packet(7, key_event_names(CharacterKey{"A"}), true, 0x1E,
                                             key_event_modifiers(kModifierShift, {}));
  EXPECT_EQ(packet.dump(), R"(["keyboard-event",7,"A",true,{"group":0,"keycode":30,"keyval":65,)"
                           R"("modifiers":["shift"],"string":"A"}])");
  const Value release =
      keyboard_event_packet(0xFFFFFFFFFFull, key_event_names(NamedKey::Meta), false, 0xE05B, {});
  EXPECT_EQ(release.dump(),
            R"(["keyboard-event",1099511627775,"",false,{"group":0,"keycode":57435,"keyval":0,)"
            R"("modifiers":[],"string":""}])");
}

}  // namespace
}  // namespace nolv
