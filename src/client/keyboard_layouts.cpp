// The keyboard layout the session names to the server.
#include <algorithm>
#include <iterator>

#include "client/keyboard.h"
#include "util/text.h"

namespace nolv {
namespace {

struct LayoutRow {
  std::uint16_t language_id;
  std::string_view name;
};

// Sorted by language id for the binary search.
constexpr LayoutRow kKeyboardLayouts[] = {
    {0x0401, "ar"},    {0x0402, "bg"},    {0x0403, "ad"},    {0x0404, "tw"},    {0x0405, "cz"},
    {0x0406, "dk"},    {0x0407, "de"},    {0x0408, "gr"},    {0x0409, "us"},    {0x040A, "es"},
    {0x040B, "fi"},    {0x040C, "fr"},    {0x040D, "il"},    {0x040E, "hu"},    {0x040F, "is"},
    {0x0410, "it"},    {0x0411, "jp"},    {0x0412, "kr"},    {0x0413, "nl"},    {0x0414, "no"},
    {0x0415, "pl"},    {0x0416, "br"},    {0x0418, "ro"},    {0x0419, "ru"},    {0x041A, "hr"},
    {0x041B, "sk"},    {0x041C, "al"},    {0x041D, "se"},    {0x041E, "th"},    {0x041F, "tr"},
    {0x0420, "pk"},    {0x0422, "ua"},    {0x0423, "by"},    {0x0424, "si"},    {0x0425, "ee"},
    {0x0426, "lv"},    {0x0427, "lt"},    {0x0429, "ir"},    {0x042A, "vn"},    {0x042B, "am"},
    {0x042C, "az"},    {0x042D, "es"},    {0x042F, "mk"},    {0x0437, "ge"},    {0x0438, "fo"},
    {0x0439, "in"},    {0x043E, "in"},    {0x043F, "kz"},    {0x0440, "kg"},    {0x0441, "ke"},
    {0x0443, "uz"},    {0x0444, "ru"},    {0x0446, "in"},    {0x0447, "in"},    {0x0449, "in"},
    {0x044A, "in"},    {0x044B, "in"},    {0x044E, "in"},    {0x044F, "in"},    {0x0450, "mn"},
    {0x0456, "es"},    {0x0457, "in"},    {0x045A, "sy"},    {0x0801, "iq"},    {0x0804, "cn"},
    {0x0807, "de"},    {0x0809, "gb"},    {0x080A, "es"},    {0x080C, "be"},    {0x0810, "it"},
    {0x0813, "nl"},    {0x0814, "no"},    {0x0816, "pt"},    {0x081A, "rs"},    {0x081D, "se"},
    {0x082C, "az"},    {0x083E, "in"},    {0x0843, "uz"},    {0x0C01, "ara"},   {0x0C04, "cn"},
    {0x0C07, "at"},    {0x0C09, "us"},    {0x0C0A, "es"},    {0x0C0C, "ca"},    {0x1001, "ara"},
    {0x1004, "cn"},    {0x1007, "de"},    {0x1009, "ca"},    {0x100A, "latam"}, {0x100C, "ch"},
    {0x1401, "ara"},   {0x1404, "cn"},    {0x1407, "de"},    {0x1409, "us"},    {0x140A, "latam"},
    {0x140C, "fr"},    {0x1801, "ara"},   {0x1809, "en"},    {0x180A, "latam"}, {0x180C, "fr"},
    {0x1C01, "ara"},   {0x1C09, "en"},    {0x1C0A, "latam"}, {0x2001, "ara"},   {0x2009, "en"},
    {0x200A, "latam"}, {0x2401, "ara"},   {0x2409, "en"},    {0x240A, "latam"}, {0x2801, "sy"},
    {0x2809, "us"},    {0x280A, "latam"}, {0x2C01, "ara"},   {0x2C09, "us"},    {0x2C0A, "latam"},
    {0x3001, "ara"},   {0x3009, "us"},    {0x300A, "latam"}, {0x3401, "ara"},   {0x3409, "us"},
    {0x340A, "latam"}, {0x3801, "ara"},   {0x3809, "us"},    {0x380A, "latam"}, {0x3C01, "ara"},
    {0x3C09, "us"},    {0x3C0A, "latam"}, {0x4001, "ara"},   {0x4009, "us"},    {0x400A, "latam"},
    {0x4409, "us"},    {0x440A, "latam"}, {0x4809, "us"},    {0x480A, "latam"}, {0x4C0A, "latam"},
    {0x500A, "latam"}, {0xE40A, "latam"}, {0xE40C, "fr"},
};
static_assert(std::size(kKeyboardLayouts) == 138);

}  // namespace

std::optional<std::string_view> keyboard_layout_for_language(std::uint16_t language_id) {
  const auto* end = std::end(kKeyboardLayouts);
  const auto* row =
      std::lower_bound(std::begin(kKeyboardLayouts), end, language_id,
                       [](const LayoutRow& r, std::uint16_t id) { return r.language_id < id; });
  if (row == end || row->language_id != language_id) return std::nullopt;
  return row->name;
}

std::optional<std::string> choose_keyboard_layout(const std::optional<std::string>& setting,
                                                  const std::optional<std::string>& system) {
  if (setting) {
    const std::string_view trimmed = trim_white_space(*setting);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return system;
}

}  // namespace nolv
