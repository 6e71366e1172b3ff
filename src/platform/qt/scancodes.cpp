#include "platform/qt/scancodes.h"

#include <array>
#include <utility>

namespace nolv {
namespace {

// X servers number keys as the kernel's input event code plus 8.
constexpr std::uint32_t kXKeycodeOffset = 8;
// Event codes of the Hangul and Hanja keys, whose codes depend on the layout.
constexpr std::uint32_t kEvdevHangeul = 122;
constexpr std::uint32_t kEvdevHanja = 123;
constexpr std::size_t kEvdevCodes = 256;

// Input event code -> set-1 scancode, for every key that has one.
constexpr std::pair<std::uint16_t, std::uint16_t> kEvdevToPc[] = {
    {1, 0x01},  // Escape
    {2, 0x02},     {3, 0x03},   {4, 0x04},   {5, 0x05},   {6, 0x06},   {7, 0x07},
    {8, 0x08},     {9, 0x09},   {10, 0x0A},  {11, 0x0B},  // 1..0
    {12, 0x0C},                                           // minus
    {13, 0x0D},                                           // equal
    {14, 0x0E},                                           // BackSpace
    {15, 0x0F},                                           // Tab
    {16, 0x10},    {17, 0x11},  {18, 0x12},  {19, 0x13},  {20, 0x14},  {21, 0x15},
    {22, 0x16},    {23, 0x17},  {24, 0x18},  {25, 0x19},  // q..p
    {26, 0x1A},    {27, 0x1B},                            // brackets
    {28, 0x1C},                                           // Return
    {29, 0x1D},                                           // left control
    {30, 0x1E},    {31, 0x1F},  {32, 0x20},  {33, 0x21},  {34, 0x22},  {35, 0x23},
    {36, 0x24},    {37, 0x25},  {38, 0x26},  // a..l
    {39, 0x27},    {40, 0x28},  {41, 0x29},  // semicolon, apostrophe, grave
    {42, 0x2A},                              // left shift
    {43, 0x2B},                              // backslash
    {44, 0x2C},    {45, 0x2D},  {46, 0x2E},  {47, 0x2F},  {48, 0x30},  {49, 0x31},
    {50, 0x32},                              // z..m
    {51, 0x33},    {52, 0x34},  {53, 0x35},  // comma, period, slash
    {54, 0x36},                              // right shift
    {55, 0x37},                              // keypad multiply
    {56, 0x38},                              // left alt
    {57, 0x39},                              // space
    {58, 0x3A},                              // Caps_Lock
    {59, 0x3B},    {60, 0x3C},  {61, 0x3D},  {62, 0x3E},  {63, 0x3F},  {64, 0x40},
    {65, 0x41},    {66, 0x42},  {67, 0x43},  {68, 0x44},  // F1..F10
    {69, 0xE045},  // Num_Lock: reported as extended, Pause takes the plain 0x45
    {70, 0x46},    // Scroll_Lock
    {71, 0x47},    {72, 0x48},  {73, 0x49},  // keypad 7 8 9
    {74, 0x4A},                              // keypad subtract
    {75, 0x4B},    {76, 0x4C},  {77, 0x4D},  // keypad 4 5 6
    {78, 0x4E},                              // keypad add
    {79, 0x4F},    {80, 0x50},  {81, 0x51},  // keypad 1 2 3
    {82, 0x52},                              // keypad 0
    {83, 0x53},                              // keypad decimal
    {85, 0x76},                              // Zenkaku/Hankaku
    {86, 0x56},                              // the key between left shift and z on ISO keyboards
    {87, 0x57},    {88, 0x58},               // F11, F12
    {89, 0x73},                              // Ro
    {90, 0x78},                              // Katakana
    {91, 0x77},                              // Hiragana
    {92, 0x79},                              // Henkan
    {93, 0x70},                              // Katakana/Hiragana
    {94, 0x7B},                              // Muhenkan
    {96, 0xE01C},                            // keypad Enter
    {97, 0xE01D},                            // right control
    {98, 0xE035},                            // keypad divide
    {99, 0xE037},                            // Print
    {100, 0xE038},                           // right alt
    {102, 0xE047},                           // Home
    {103, 0xE048},                           // Up
    {104, 0xE049},                           // Prior
    {105, 0xE04B},                           // Left
    {106, 0xE04D},                           // Right
    {107, 0xE04F},                           // End
    {108, 0xE050},                           // Down
    {109, 0xE051},                           // Next
    {110, 0xE052},                           // Insert
    {111, 0xE053},                           // Delete
    {113, 0xE020},                           // volume mute
    {114, 0xE02E},                           // volume down
    {115, 0xE030},                           // volume up
    {116, 0xE05E},                           // power
    {117, 0x59},                             // keypad equal
    {119, 0x45},                             // Pause
    {121, 0x7E},                             // keypad comma
    {124, 0x7D},                             // Yen
    {125, 0xE05B},                           // left super
    {126, 0xE05C},                           // right super
    {127, 0xE05D},                           // Menu
    {128, 0xE068},                           // browser stop
    {140, 0xE021},                           // calculator
    {142, 0xE05F},                           // sleep
    {143, 0xE063},                           // wake up
    {155, 0xE06C},                           // mail
    {156, 0xE066},                           // browser favourites
    {157, 0xE06B},                           // my computer
    {158, 0xE06A},                           // browser back
    {159, 0xE069},                           // browser forward
    {163, 0xE019},                           // next track
    {164, 0xE022},                           // play/pause
    {165, 0xE010},                           // previous track
    {166, 0xE024},                           // stop
    {172, 0xE032},                           // browser home
    {173, 0xE067},                           // browser refresh
    {183, 0x64},   {184, 0x65}, {185, 0x66}, {186, 0x67}, {187, 0x68}, {188, 0x69},
    {189, 0x6A},   {190, 0x6B}, {191, 0x6C}, {192, 0x6D}, {193, 0x6E},  // F13..F23
    {194, 0x76},                                                        // F24
    {217, 0xE065},                                                      // browser search
    {226, 0xE06D},                                                      // media select
};

constexpr std::array<std::uint16_t, kEvdevCodes> build_table() {
  std::array<std::uint16_t, kEvdevCodes> table{};
  for (const auto& [code, scancode] : kEvdevToPc) table[code] = scancode;
  return table;
}

constexpr std::array<std::uint16_t, kEvdevCodes> kTable = build_table();

}  // namespace

bool is_korean_language_key(std::uint32_t x_keycode) {
  return x_keycode == kEvdevHangeul + kXKeycodeOffset || x_keycode == kEvdevHanja + kXKeycodeOffset;
}

std::uint32_t pc_scancode_from_x_keycode(std::uint32_t x_keycode, bool korean_layout) {
  if (x_keycode < kXKeycodeOffset) return 0;
  const std::uint32_t code = x_keycode - kXKeycodeOffset;
  if (code == kEvdevHangeul) return korean_layout ? 0xE0F2 : 0x72;
  if (code == kEvdevHanja) return korean_layout ? 0xE0F1 : 0x71;
  if (code >= kEvdevCodes) return 0;
  return kTable[code];
}

}  // namespace nolv
