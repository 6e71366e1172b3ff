#include "platform/qt/qt_keys.h"

#include <utility>

#include "platform/qt/scancodes.h"

namespace nolv {
namespace {

constexpr std::uint32_t kKeysymSuperL = 0xFFEB;
constexpr std::uint32_t kKeysymSuperR = 0xFFEC;
// Keysyms of Latin-1 characters are the characters themselves.
constexpr std::uint32_t kKeysymLatin1First = 0x20;
constexpr std::uint32_t kKeysymLatin1Last = 0xFF;
constexpr std::uint32_t kKeysymAsciiDelete = 0x7F;
constexpr std::uint32_t kKeysymControlRangeEnd = 0xA0;
// Keysyms of other Unicode characters carry the code point plus this offset.
constexpr std::uint32_t kKeysymUnicodeOffset = 0x1000000;
constexpr std::uint32_t kKeysymUnicodeLast = 0x110FFFF;

constexpr std::pair<int, char32_t> kDeadKeyCharacters[] = {
    {Qt::Key_Dead_Circumflex, U'\u005E'},  {Qt::Key_Dead_Grave, U'\u0060'},
    {Qt::Key_Dead_Tilde, U'\u007E'},       {Qt::Key_Dead_Diaeresis, U'\u00A8'},
    {Qt::Key_Dead_Abovering, U'\u00B0'},   {Qt::Key_Dead_Acute, U'\u00B4'},
    {Qt::Key_Dead_Cedilla, U'\u00B8'},     {Qt::Key_Dead_Macron, U'\u00AF'},
    {Qt::Key_Dead_Breve, U'\u02D8'},       {Qt::Key_Dead_Abovedot, U'\u02D9'},
    {Qt::Key_Dead_Doubleacute, U'\u02DD'}, {Qt::Key_Dead_Caron, U'\u02C7'},
    {Qt::Key_Dead_Ogonek, U'\u02DB'},      {Qt::Key_Dead_Iota, U'\u037A'},
};

bool has_control_characters(const QString& text) {
  for (const QChar c : text) {
    if (c.category() == QChar::Other_Control) return true;
  }
  return false;
}

QString text_of_character(char32_t c) {
  return QString::fromUcs4(&c, 1);
}

// The character a keysym stands for, when it stands for one.
std::optional<char32_t> keysym_character(std::uint32_t keysym) {
  if (keysym >= kKeysymLatin1First && keysym <= kKeysymLatin1Last && keysym != kKeysymAsciiDelete &&
      !(keysym > kKeysymAsciiDelete && keysym < kKeysymControlRangeEnd)) {
    return static_cast<char32_t>(keysym);
  }
  if (keysym > kKeysymUnicodeOffset + kKeysymLatin1Last && keysym <= kKeysymUnicodeLast) {
    return static_cast<char32_t>(keysym - kKeysymUnicodeOffset);
  }
  return std::nullopt;
}

}  // namespace

std::optional<NamedKey> named_key_from_qt(int qt_key, std::uint32_t x_keysym) {
  if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24) {
    return static_cast<NamedKey>(static_cast<int>(NamedKey::F1) + (qt_key - Qt::Key_F1));
  }
  switch (qt_key) {
    case Qt::Key_Alt:
      return NamedKey::Alt;
    case Qt::Key_AltGr:
      return NamedKey::AltGraph;
    case Qt::Key_CapsLock:
      return NamedKey::CapsLock;
    case Qt::Key_Control:
      return NamedKey::Control;
    case Qt::Key_NumLock:
      return NamedKey::NumLock;
    case Qt::Key_ScrollLock:
      return NamedKey::ScrollLock;
    case Qt::Key_Shift:
      return NamedKey::Shift;
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
      return NamedKey::Super;
    case Qt::Key_Meta:
      return x_keysym == kKeysymSuperL || x_keysym == kKeysymSuperR ? NamedKey::Super
                                                                    : NamedKey::Meta;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return NamedKey::Enter;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return NamedKey::Tab;
    case Qt::Key_Space:
      return NamedKey::Space;
    case Qt::Key_Down:
      return NamedKey::ArrowDown;
    case Qt::Key_Left:
      return NamedKey::ArrowLeft;
    case Qt::Key_Right:
      return NamedKey::ArrowRight;
    case Qt::Key_Up:
      return NamedKey::ArrowUp;
    case Qt::Key_End:
      return NamedKey::End;
    case Qt::Key_Home:
      return NamedKey::Home;
    case Qt::Key_PageDown:
      return NamedKey::PageDown;
    case Qt::Key_PageUp:
      return NamedKey::PageUp;
    case Qt::Key_Backspace:
      return NamedKey::Backspace;
    case Qt::Key_Delete:
      return NamedKey::Delete;
    case Qt::Key_Insert:
      return NamedKey::Insert;
    case Qt::Key_Menu:
      return NamedKey::ContextMenu;
    case Qt::Key_Escape:
      return NamedKey::Escape;
    case Qt::Key_Pause:
      return NamedKey::Pause;
    case Qt::Key_Print:
      return NamedKey::PrintScreen;
    default:
      break;
  }
  // Every other key without text in Qt's special range (media keys, F25 and above, Hyper, ...).
  if (qt_key >= Qt::Key_Escape && qt_key < Qt::Key_unknown && !is_dead_key(qt_key)) {
    return NamedKey::Other;
  }
  return std::nullopt;
}

bool is_dead_key(int qt_key) {
  return qt_key >= Qt::Key_Dead_Grave && qt_key <= Qt::Key_Dead_Longsolidusoverlay;
}

std::optional<char32_t> dead_key_character(int qt_key) {
  for (const auto& [key, c] : kDeadKeyCharacters) {
    if (key == qt_key) return c;
  }
  return std::nullopt;
}

LogicalKey logical_key_from_qt(int qt_key, std::uint32_t x_keysym, const QString& text,
                               Qt::KeyboardModifiers modifiers) {
  if (is_dead_key(qt_key)) return DeadKey{dead_key_character(qt_key)};
  if (auto named = named_key_from_qt(qt_key, x_keysym)) {
    // A key in Qt's special range that still types text (some keypads) is a character key.
    if (*named != NamedKey::Other || text.isEmpty() || has_control_characters(text)) {
      return *named;
    }
  }
  if (!text.isEmpty() && !has_control_characters(text)) return CharacterKey{text.toStdString()};
  if (auto c = keysym_character(x_keysym)) return CharacterKey{text_of_character(*c).toStdString()};
  // Without a keysym (offscreen platform): Qt names a Latin-1 key by its upper-case character.
  if (qt_key >= Qt::Key_Space && qt_key <= Qt::Key_ydiaeresis) {
    QString key_text = text_of_character(static_cast<char32_t>(qt_key));
    if (!modifiers.testFlag(Qt::ShiftModifier)) key_text = key_text.toLower();
    return CharacterKey{key_text.toStdString()};
  }
  return UnidentifiedKey{};
}

std::uint32_t modifier_state_from_qt(Qt::KeyboardModifiers modifiers) {
  std::uint32_t state = 0;
  if (modifiers.testFlag(Qt::ShiftModifier)) state |= kModifierShift;
  if (modifiers.testFlag(Qt::ControlModifier)) state |= kModifierControl;
  if (modifiers.testFlag(Qt::AltModifier)) state |= kModifierAlt;
  if (modifiers.testFlag(Qt::MetaModifier)) state |= kModifierSuper;
  return state;
}

KeyboardInput keyboard_input_from_qt(const QKeyEvent& event, bool korean_layout) {
  KeyboardInput input;
  input.logical_key =
      logical_key_from_qt(event.key(), event.nativeVirtualKey(), event.text(), event.modifiers());
  input.scancode = pc_scancode_from_x_keycode(event.nativeScanCode(), korean_layout);
  input.pressed = event.type() == QEvent::KeyPress;
  input.repeat = event.isAutoRepeat();
  input.synthetic = false;
  return input;
}

}  // namespace nolv
