// Server cursors, window icons and bells: PNG images decoded to RGBA, cursors rescaled to the
// desktop scale, and the pitch and length rules of the bell. The Client's handlers of
// "cursor-data", "cursor-default" and "window-icon" are defined in cursor.cpp, "bell" in bell.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/window.h"
#include "util/result.h"

namespace nolv {

// Sides beyond this are refused before decoding: the decoded RGBA image is allocated whole, and
// no cursor (at most 2048 a side after scaling) or window icon needs more than 4096.
inline constexpr std::uint32_t kMaxPngSide = 4096;
// Ancillary chunks (text, colour profiles) are not used; this bounds what a PNG may make us keep.
inline constexpr std::size_t kMaxPngChunkBytes = 4 * 1024 * 1024;

struct RgbaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // R G B A, rows top to bottom
};

// Errors carry the decoder's numeric code: "invalid png: 29".
[[nodiscard]] Result<RgbaImage> decode_png_rgba(std::span<const std::uint8_t> bytes);

// The cursor at desktop scale `scale`: nearest-neighbour pixels, the hotspot scaled (truncated)
// and then moved into the image.
[[nodiscard]] CustomCursor scale_cursor(RgbaImage image, std::uint32_t hotspot_x,
                                        std::uint32_t hotspot_y, double scale);

// The windowing library's checks on a custom cursor: sides up to kMaxCursorSide and exactly
// width * height * 4 bytes.
[[nodiscard]] Result<std::shared_ptr<const CustomCursor>> make_custom_cursor(CustomCursor cursor);

// The windowing library's checks on an icon: a byte count that is width * height * 4.
[[nodiscard]] Result<WindowIcon> make_window_icon(RgbaImage image);

// The tone of a bell packet: pitch within 37..32767 Hz, else 800; duration up to 5000 ms when
// positive, else 100.
[[nodiscard]] std::uint32_t bell_frequency(std::int32_t pitch);
[[nodiscard]] std::uint32_t bell_duration_ms(std::int32_t duration);

}  // namespace nolv
