// Qt key events in the platform-neutral form the client reads: the logical key (named key,
// character text, dead key or unidentified), the PC scancode and the modifier bits.
#pragma once

#include <cstdint>
#include <optional>

#include <QKeyEvent>
#include <QString>

#include "platform/window.h"

namespace nolv {

// The named key of a Qt key code; none for keys that produce text, dead keys and unknown codes.
// `x_keysym` (0 when unknown) tells the Super keys from Meta where Qt reports both as Meta.
std::optional<NamedKey> named_key_from_qt(int qt_key, std::uint32_t x_keysym = 0);

// The combining character of a Qt dead key (Qt::Key_Dead_*); none for other keys and for dead
// keys that have no spacing character.
std::optional<char32_t> dead_key_character(int qt_key);
bool is_dead_key(int qt_key);

// The logical key from Qt's key code, the X keysym (0 when unknown) and the event's text. The
// text is the one the key produces without Control: control characters that Qt reports while
// Control is held are replaced by the keysym's character or the key's own.
LogicalKey logical_key_from_qt(int qt_key, std::uint32_t x_keysym, const QString& text,
                               Qt::KeyboardModifiers modifiers);

// kModifier* bits of Qt's modifier flags (Meta is the Super key on X11).
std::uint32_t modifier_state_from_qt(Qt::KeyboardModifiers modifiers);

// The whole KeyboardInput of a key press or release. Qt on xcb reports the X keycode as the
// native scan code and the keysym as the native virtual key.
KeyboardInput keyboard_input_from_qt(const QKeyEvent& event, bool korean_layout = false);

}  // namespace nolv
