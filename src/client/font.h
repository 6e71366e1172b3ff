// The built-in 8x16 bitmap font of the self-drawn dialogs, drawn at an integer scale.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace nolv::font {

inline constexpr std::uint32_t kGlyphWidth = 8;
inline constexpr std::uint32_t kGlyphHeight = 16;
inline constexpr std::uint8_t kFirstChar = 0x20;
inline constexpr std::uint8_t kLastChar = 0x7e;
inline constexpr std::size_t kGlyphCount = kLastChar - kFirstChar + 1;
inline constexpr std::size_t kFontBytes = kGlyphCount * kGlyphHeight;

// Glyphs for 0x20..0x7E in order, 16 row bytes each, top row first; bit 0 of a row byte is the
// leftmost pixel. A set bit is ink.
extern const std::array<std::uint8_t, kFontBytes> FONT_8X16;

// Draws `text` byte by byte with its top-left corner at (x, y), each cell 8 x scale wide. Bytes
// outside 0x20..0x7E (so each byte of a UTF-8 sequence) draw as blank cells. Clips silently.
void draw_text(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t scale, std::span<const std::uint8_t> text, std::uint32_t colour);
void draw_text(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t scale, std::string_view text, std::uint32_t colour);

}  // namespace nolv::font
