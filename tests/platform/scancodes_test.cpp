#include "platform/qt/scancodes.h"

#include <gtest/gtest.h>

#include <set>

namespace nolv {
namespace {

struct ScancodeCase {
  const char* key;
  std::uint32_t x_keycode;
  std::uint32_t scancode;
};

TEST(PcScancode, KeysOfAUsKeyboard) {
  const ScancodeCase cases[] = {
      {"Escape", 9, 0x01},
      {"1", 10, 0x02},
      {"0", 19, 0x0B},
      {"BackSpace", 22, 0x0E},
      {"Tab", 23, 0x0F},
      {"q", 24, 0x10},
      {"Return", 36, 0x1C},
      {"Control_L", 37, 0x1D},
      {"a", 38, 0x1E},
      {"grave", 49, 0x29},
      {"Shift_L", 50, 0x2A},
      {"backslash", 51, 0x2B},
      {"z", 52, 0x2C},
      {"slash", 61, 0x35},
      {"Shift_R", 62, 0x36},
      {"KP_Multiply", 63, 0x37},
      {"Alt_L", 64, 0x38},
      {"space", 65, 0x39},
      {"Caps_Lock", 66, 0x3A},
      {"F1", 67, 0x3B},
      {"F5", 71, 0x3F},
      {"F10", 76, 0x44},
      {"Num_Lock", 77, 0xE045},
      {"Scroll_Lock", 78, 0x46},
      {"KP_7", 79, 0x47},
      {"KP_Subtract", 82, 0x4A},
      {"KP_Add", 86, 0x4E},
      {"KP_0", 90, 0x52},
      {"KP_Decimal", 91, 0x53},
      {"less (ISO)", 94, 0x56},
      {"F11", 95, 0x57},
      {"F12", 96, 0x58},
      {"KP_Enter", 104, 0xE01C},
      {"Control_R", 105, 0xE01D},
      {"KP_Divide", 106, 0xE035},
      {"Print", 107, 0xE037},
      {"Alt_R", 108, 0xE038},
      {"Home", 110, 0xE047},
      {"Up", 111, 0xE048},
      {"Prior", 112, 0xE049},
      {"Left", 113, 0xE04B},
      {"Right", 114, 0xE04D},
      {"End", 115, 0xE04F},
      {"Down", 116, 0xE050},
      {"Next", 117, 0xE051},
      {"Insert", 118, 0xE052},
      {"Delete", 119, 0xE053},
      {"KP_Equal", 125, 0x59},
      {"Pause", 127, 0x45},
      {"Super_L", 133, 0xE05B},
      {"Super_R", 134, 0xE05C},
      {"Menu", 135, 0xE05D},
      {"F13", 191, 0x64},
      {"F24", 202, 0x76},
      {"AudioMute", 121, 0xE020},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pc_scancode_from_x_keycode(c.x_keycode), c.scancode) << c.key;
  }
}

TEST(PcScancode, HangulAndHanjaDependOnTheLayout) {
  EXPECT_EQ(pc_scancode_from_x_keycode(130, false), 0x72u);
  EXPECT_EQ(pc_scancode_from_x_keycode(131, false), 0x71u);
  EXPECT_EQ(pc_scancode_from_x_keycode(130, true), 0xE0F2u);
  EXPECT_EQ(pc_scancode_from_x_keycode(131, true), 0xE0F1u);
  EXPECT_EQ(pc_scancode_from_x_keycode(38, true), 0x1Eu);
  for (std::uint32_t k = 0; k < 300; ++k)
    EXPECT_EQ(is_korean_language_key(k), k == 130 || k == 131) << k;
}

TEST(PcScancode, UnknownKeycodesGiveZero) {
  for (std::uint32_t k : {0u, 1u, 7u, 8u, 92u, 263u, 264u, 100000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(pc_scancode_from_x_keycode(k), 0u) << k;
  }
}

TEST(PcScancode, NoTwoKeysShareACodeOutsideTheKnownAliases) {
  // F24 and Zenkaku/Hankaku share 0x76 on every PC keyboard; no other pair may collide.
  std::multiset<std::uint32_t> seen;
  for (std::uint32_t k = 8; k < 264; ++k) {
    if (auto s = pc_scancode_from_x_keycode(k); s != 0) seen.insert(s);
  }
  for (auto s : seen) {
    if (s == 0x76) {
      EXPECT_EQ(seen.count(s), 2u);
    } else {
      EXPECT_EQ(seen.count(s), 1u) << std::hex << s;
    }
  }
}

}  // namespace
}  // namespace nolv
