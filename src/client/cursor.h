// Server cursors and window icons: PNG images decoded to RGBA, cursors rescaled to the desktop
// scale, and the session's component that keeps the cursor and hands both to its windows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "net/packet.h"
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

// What the cursors and icons reach of the session: its scale, read-only, and its windows.
struct CursorsLink {
  std::function<double()> scale;
  // Calls `visit` with every server window and its id.
  std::function<void(const std::function<void(std::uint64_t wid, Window& window)>& visit)>
      each_window;
  // The server window `wid`; null when there is none.
  std::function<Window*(std::uint64_t wid)> find_window;
};

// The server's cursor, shown by every window while set, and the windows' icons. Event-loop
// thread only, like the session that owns it.
class CursorsAndIcons {
 public:
  explicit CursorsAndIcons(CursorsLink link) : link_(std::move(link)) {}

  void handle_cursor_data(Packet& packet);
  void handle_cursor_default() { reset(); }
  void handle_window_icon(Packet& packet);
  // Drops the cursor and gives every window the default arrow.
  void reset();
  // A window created while a cursor is set shows it at once.
  void show_current(std::uint64_t wid, Window& window) const;
  const std::shared_ptr<const CustomCursor>& current() const { return cursor_; }

 private:
  CursorsLink link_;
  std::shared_ptr<const CustomCursor> cursor_;
};

}  // namespace nolv
