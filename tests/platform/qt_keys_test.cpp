#include "platform/qt/qt_keys.h"

#include <gtest/gtest.h>

#include "client/keymap.h"
#include "platform/qt_application.h"

namespace nolv {
namespace {

struct QtKeyCase {
  const char* what;
  int key;
  Qt::KeyboardModifiers modifiers;
  quint32 x_keycode;
  quint32 keysym;
  QString text;
  LogicalKey logical;
  std::uint32_t scancode;
};

// What Qt on xcb reports for these keys on a US layout (keycode, keysym, text).
TEST(KeyboardInputFromQt, KeysAsXReportsThem) {
  ensure_qt_application();
  const QtKeyCase cases[] = {
      {"a", Qt::Key_A, Qt::NoModifier, 38, 0x61, "a", CharacterKey{"a"}, 0x1E},
      {"A", Qt::Key_A, Qt::ShiftModifier, 38, 0x41, "A", CharacterKey{"A"}, 0x1E},
      {"ctrl+a", Qt::Key_A, Qt::ControlModifier, 38, 0x61, "\x01", CharacterKey{"a"}, 0x1E},
      {"ctrl+shift+a", Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier, 38, 0x41, "\x01",
       CharacterKey{"A"}, 0x1E},
      {"Return", Qt::Key_Return, Qt::NoModifier, 36, 0xFF0D, "\r", NamedKey::Enter, 0x1C},
      {"KP_Enter", Qt::Key_Enter, Qt::KeypadModifier, 104, 0xFF8D, "\r", NamedKey::Enter, 0xE01C},
      {"F5", Qt::Key_F5, Qt::NoModifier, 71, 0xFFC2, "", NamedKey::F5, 0x3F},
      {"F24", Qt::Key_F24, Qt::NoModifier, 202, 0xFFD5, "", NamedKey::F24, 0x76},
      {"Shift_L", Qt::Key_Shift, Qt::NoModifier, 50, 0xFFE1, "", NamedKey::Shift, 0x2A},
      {"Shift_R", Qt::Key_Shift, Qt::NoModifier, 62, 0xFFE2, "", NamedKey::Shift, 0x36},
      {"Left", Qt::Key_Left, Qt::NoModifier, 113, 0xFF51, "", NamedKey::ArrowLeft, 0xE04B},
      {"Up", Qt::Key_Up, Qt::NoModifier, 111, 0xFF52, "", NamedKey::ArrowUp, 0xE048},
      {"KP_Left", Qt::Key_Left, Qt::KeypadModifier, 83, 0xFF96, "", NamedKey::ArrowLeft, 0x4B},
      {"KP_4", Qt::Key_4, Qt::KeypadModifier, 83, 0xFFB4, "4", CharacterKey{"4"}, 0x4B},
      {"KP_Divide", Qt::Key_Slash, Qt::KeypadModifier, 106, 0xFFAF, "/", CharacterKey{"/"}, 0xE035},
      {"space", Qt::Key_Space, Qt::NoModifier, 65, 0x20, " ", NamedKey::Space, 0x39},
      {"shift+Tab", Qt::Key_Backtab, Qt::ShiftModifier, 23, 0xFE20, "", NamedKey::Tab, 0x0F},
      {"Super_L as Meta", Qt::Key_Meta, Qt::NoModifier, 133, 0xFFEB, "", NamedKey::Super, 0xE05B},
      {"Super_L", Qt::Key_Super_L, Qt::NoModifier, 133, 0xFFEB, "", NamedKey::Super, 0xE05B},
      {"Meta_L", Qt::Key_Meta, Qt::NoModifier, 64, 0xFFE7, "", NamedKey::Meta, 0x38},
      {"Menu", Qt::Key_Menu, Qt::NoModifier, 135, 0xFF67, "", NamedKey::ContextMenu, 0xE05D},
      {"eacute", Qt::Key_Eacute, Qt::NoModifier, 0, 0xE9, "\u00E9", CharacterKey{"\xC3\xA9"}, 0},
      {"EuroSign", Qt::Key_unknown, Qt::NoModifier, 26, 0x20AC, "\u20AC",
       CharacterKey{"\xE2\x82\xAC"}, 0x12},
      {"ctrl+Greek Tau", Qt::Key_unknown, Qt::ControlModifier, 38, 0x10003A4, "\x01",
       CharacterKey{"\xCE\xA4"}, 0x1E},
      {"dead_circumflex", Qt::Key_Dead_Circumflex, Qt::NoModifier, 34, 0xFE52, "",
       DeadKey{U'\u005E'}, 0x1A},
      {"dead_diaeresis", Qt::Key_Dead_Diaeresis, Qt::ShiftModifier, 34, 0xFE57, "",
       DeadKey{U'\u00A8'}, 0x1A},
      {"dead_belowdot", Qt::Key_Dead_Belowdot, Qt::NoModifier, 34, 0xFE60, "",
       DeadKey{std::nullopt}, 0x1A},
      {"AudioMute", Qt::Key_VolumeMute, Qt::NoModifier, 121, 0x1008FF12, "", NamedKey::Other,
       0xE020},
      {"unknown", Qt::Key_unknown, Qt::NoModifier, 0, 0, "", UnidentifiedKey{}, 0},
      // Offscreen: no keycode, no keysym; the key code gives the character.
      {"offscreen ctrl+b", Qt::Key_B, Qt::ControlModifier, 0, 0, "\x02", CharacterKey{"b"}, 0},
  };
  for (const auto& c : cases) {
    const QKeyEvent event(QEvent::KeyPress, c.key, c.modifiers, c.x_keycode, c.keysym, 0, c.text);
    const KeyboardInput input = keyboard_input_from_qt(event);
    EXPECT_EQ(input.logical_key, c.logical)
        << c.what << ": " << to_string(input.logical_key) << " != " << to_string(c.logical);
    EXPECT_EQ(input.scancode, c.scancode) << c.what;
    EXPECT_TRUE(input.pressed) << c.what;
    EXPECT_FALSE(input.repeat) << c.what;
  }
}

TEST(KeyboardInputFromQt, ReleaseAndRepeat) {
  ensure_qt_application();
  const QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, 38, 0x61, 0, "a");
  EXPECT_FALSE(keyboard_input_from_qt(release).pressed);
  const QKeyEvent repeat(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0x61, 0, "a", true);
  const KeyboardInput input = keyboard_input_from_qt(repeat);
  EXPECT_TRUE(input.pressed);
  EXPECT_TRUE(input.repeat);
}

TEST(KeyboardInputFromQt, NamesOnTheWire) {
  ensure_qt_application();
  // The full road from Qt's event to the packet's name, string and keyval.
  const QKeyEvent f5(QEvent::KeyPress, Qt::Key_F5, Qt::NoModifier, 71, 0xFFC2, 0, "");
  EXPECT_EQ(key_event_names(keyboard_input_from_qt(f5).logical_key), (KeyEventNames{"F5", "", 0}));
  const QKeyEvent excl(QEvent::KeyPress, Qt::Key_Exclam, Qt::ShiftModifier, 10, 0x21, 0, "!");
  EXPECT_EQ(key_event_names(keyboard_input_from_qt(excl).logical_key),
            (KeyEventNames{"exclam", "!", 0x21}));
}

TEST(ModifierStateFromQt, Bits) {
  EXPECT_EQ(modifier_state_from_qt(Qt::NoModifier), 0u);
  EXPECT_EQ(modifier_state_from_qt(Qt::ShiftModifier | Qt::KeypadModifier), kModifierShift);
  EXPECT_EQ(modifier_state_from_qt(Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier),
            kModifierControl | kModifierAlt | kModifierSuper);
}

}  // namespace
}  // namespace nolv
