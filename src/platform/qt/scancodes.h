// The PC scancode (set 1, extended keys as 0xE0xx) of a physical key, from the X keycode that Qt
// on xcb reports as the native scan code. Servers of the "win32" platform expect these codes.
#pragma once

#include <cstdint>

namespace nolv {

// 0 for a keycode that names no known key. `korean_layout` selects the codes of the Hangul and
// Hanja keys, which differ when the active layout's language is Korean.
std::uint32_t pc_scancode_from_x_keycode(std::uint32_t x_keycode, bool korean_layout = false);

// The two keys whose scancodes depend on the layout: Hangul and Hanja.
bool is_korean_language_key(std::uint32_t x_keycode);

}  // namespace nolv
