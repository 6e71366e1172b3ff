#include "client/cursor.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "client/png.h"
#include "client/scaling.h"
#include "client/window.h"
#include "util/format.h"
#include "util/log.h"
#include "util/saturating.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::client";
constexpr std::size_t kRgbaBytes = 4;

// trunc(clamp(value * scale, 0, u32 max)).
std::uint32_t scaled_hotspot(std::uint32_t value, double scale) {
  return saturate_cast<std::uint32_t>(static_cast<double>(value) * scale);
}

bool rgba_size_matches(std::uint32_t width, std::uint32_t height, std::size_t bytes) {
  return static_cast<std::uint64_t>(width) * height * kRgbaBytes == bytes;
}

}  // namespace

Result<RgbaImage> decode_png_rgba(std::span<const std::uint8_t> bytes) {
  auto opened = PngReader::open(bytes, PngLimits{kMaxPngSide, kMaxPngChunkBytes});
  if (!opened) {
    const PngError& e = opened.error();
    switch (e.step) {
      case PngStep::Init:
        return fail("spng init failed: {}", e.code);
      case PngStep::Buffer:
        return fail("invalid png: {}", e.code);
      case PngStep::Header:
        return fail("invalid png header: {}", e.code);
      default:
        return fail("bad png size: {}", e.code);
    }
  }
  PngReader& png = *opened;
  RgbaImage image{png.width(), png.height(), std::vector<std::uint8_t>(png.rgba_size(), 0)};
  if (auto decoded = png.decode_rgba(image.pixels); !decoded) {
    return fail("png decode failed: {}", decoded.error().code);
  }
  return image;
}

CustomCursor scale_cursor(RgbaImage image, std::uint32_t hotspot_x, std::uint32_t hotspot_y,
                          double scale) {
  CustomCursor cursor;
  if (scale == 1.0) {
    cursor.width = image.width;
    cursor.height = image.height;
    cursor.hotspot_x = hotspot_x;
    cursor.hotspot_y = hotspot_y;
    cursor.rgba = std::move(image.pixels);
  } else {
    cursor.width = local_size(image.width, scale);
    cursor.height = local_size(image.height, scale);
    cursor.hotspot_x = scaled_hotspot(hotspot_x, scale);
    cursor.hotspot_y = scaled_hotspot(hotspot_y, scale);
    // Beyond the side the platform accepts, the image is refused anyway: build none.
    if (cursor.width <= kMaxCursorSide && cursor.height <= kMaxCursorSide &&
        rgba_size_matches(image.width, image.height, image.pixels.size()) && image.width > 0 &&
        image.height > 0) {
      const auto columns = build_index_map(cursor.width, image.width, scale);
      const auto rows = build_index_map(cursor.height, image.height, scale);
      cursor.rgba.resize(std::size_t{cursor.width} * cursor.height * kRgbaBytes);
      auto out = cursor.rgba.begin();
      for (const std::uint32_t row : rows) {
        const auto source_row = image.pixels.begin() + std::size_t{row} * image.width * kRgbaBytes;
        for (const std::uint32_t column : columns) {
          out = std::copy_n(source_row + std::size_t{column} * kRgbaBytes, kRgbaBytes, out);
        }
      }
    }
  }
  cursor.hotspot_x = std::min(cursor.hotspot_x, cursor.width == 0 ? 0 : cursor.width - 1);
  cursor.hotspot_y = std::min(cursor.hotspot_y, cursor.height == 0 ? 0 : cursor.height - 1);
  return cursor;
}

Result<std::shared_ptr<const CustomCursor>> make_custom_cursor(CustomCursor cursor) {
  if (cursor.width > kMaxCursorSide || cursor.height > kMaxCursorSide) {
    return fail("the cursor is {}x{} pixels, more than the {}x{} a cursor may have", cursor.width,
                cursor.height, kMaxCursorSide, kMaxCursorSide);
  }
  if (!rgba_size_matches(cursor.width, cursor.height, cursor.rgba.size())) {
    return fail("{} bytes of RGBA do not make a {}x{} image", cursor.rgba.size(), cursor.width,
                cursor.height);
  }
  return std::shared_ptr<const CustomCursor>(std::make_shared<CustomCursor>(std::move(cursor)));
}

Result<WindowIcon> make_window_icon(RgbaImage image) {
  if (image.pixels.size() % kRgbaBytes != 0) {
    return fail("{} bytes of RGBA are not a whole number of pixels", image.pixels.size());
  }
  if (!rgba_size_matches(image.width, image.height, image.pixels.size())) {
    return fail("{} bytes of RGBA do not make a {}x{} image", image.pixels.size(), image.width,
                image.height);
  }
  return WindowIcon{image.width, image.height, std::move(image.pixels)};
}

void CursorsAndIcons::reset() {
  cursor_.reset();
  link_.each_window([](std::uint64_t, Window& window) { window.set_default_cursor(); });
}

void CursorsAndIcons::show_current(std::uint64_t wid, Window& window) const {
  if (!cursor_) return;
  if (Status set = window.set_custom_cursor(cursor_); !set)
    log_debug(kLog, "window {:#x}: cursor not set: {}", wid, set.message());
}

void CursorsAndIcons::handle_cursor_data(Packet& packet) {
  const std::string encoding = packet_get_str(packet.items, 1);
  if (encoding.empty()) {
    reset();
    return;
  }
  if (encoding != "png") {
    log_debug(kLog, "ignoring cursor with unsupported encoding {}",
              quoted_text(log_value(encoding)));
    return;
  }
  const std::uint32_t hotspot_x = packet_get_u32(packet.items, 4);
  const std::uint32_t hotspot_y = packet_get_u32(packet.items, 5);
  const Bytes bytes = packet_get_bytes(packet, 7);
  auto image = decode_png_rgba(bytes);
  if (!image) {
    log_debug(kLog, "failed to decode cursor: {}", image.message());
    return;
  }
  CustomCursor scaled = scale_cursor(std::move(*image), hotspot_x, hotspot_y, link_.scale());
  const std::uint32_t width = scaled.width;
  const std::uint32_t height = scaled.height;
  auto made = make_custom_cursor(std::move(scaled));
  if (!made) {
    log_debug(kLog, "invalid cursor image {}x{}: {}", width, height, made.message());
    return;
  }
  cursor_ = std::move(*made);
  // The server is not told of a window that refuses it; the window keeps what it showed.
  link_.each_window([this](std::uint64_t wid, Window& window) { show_current(wid, window); });
}

void CursorsAndIcons::handle_window_icon(Packet& packet) {
  const std::uint64_t wid = packet_get_usize(packet.items, 1);
  const std::string encoding = packet_get_str(packet.items, 4);
  if (encoding != "png") {
    log_debug(kLog, "ignoring window-icon for {:#x} with unsupported encoding {}", wid,
              quoted_text(log_value(encoding)));
    return;
  }
  const Bytes bytes = packet_get_bytes(packet, 5);
  auto image = decode_png_rgba(bytes);
  if (!image) {
    log_debug(kLog, "failed to decode window icon for {:#x}: {}", wid, image.message());
    return;
  }
  auto icon = make_window_icon(std::move(*image));
  if (!icon) {
    log_debug(kLog, "invalid window icon for {:#x}: {}", wid, icon.message());
    return;
  }
  Window* window = link_.find_window(wid);
  if (window == nullptr) {
    log_error(kLog, "cannot set icon: window {:#x} not found", wid);
    return;
  }
  // The scale factor is not applied to icons.
  if (Status set = window->set_window_icon(std::move(*icon)); !set)
    log_debug(kLog, "invalid window icon for {:#x}: {}", wid, set.message());
}

}  // namespace nolv
