// One local window per server window: its record, its metadata, the geometry between server
// units and local pixels, and presenting its back buffer. The Client's window handlers live in
// window.cpp (creation), window_metadata.cpp, window_commands.cpp and window_events.cpp.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "net/packet.h"
#include "platform/event_loop.h"
#include "platform/window.h"

namespace nolv {

// A window's back buffer holds server_w x server_h pixels; beyond this many the allocation would
// reach 1 GiB, far past any real display, so such a window is refused.
inline constexpr std::uint64_t kMaxWindowPixels = std::uint64_t{1} << 28;
// Each side of a window, in server units and in local pixels: X11 keeps window sizes and
// coordinates in 16 bits, signed, so no display can have a window wider or taller than this, and
// the surfaces beneath refuse far smaller sides than the pixel bound alone would let through.
inline constexpr std::uint32_t kMaxWindowSide = 32767;
// Every window's back buffer and surface together, in pixels (2 GiB at 4 bytes each): each window
// is bounded on its own, but a server opening window after window would otherwise take memory
// without end. Dozens of full-screen 4K windows still fit.
inline constexpr std::uint64_t kMaxTotalWindowPixels = std::uint64_t{1} << 29;

struct MonitorInfo;
class BandWorkers;

// A window's properties as the server describes them; a field is absent when its key is absent
// or its value has the wrong type or range.
struct WindowMetadata {
  std::optional<std::uint64_t> transient_for;
  std::optional<std::uint64_t> parent;
  std::optional<std::string> title;
  std::optional<std::pair<std::string, std::string>> class_instance;
  std::optional<std::vector<std::string>> window_type;
  std::optional<std::string> icon_title;
  std::optional<std::int32_t> workspace;
  std::optional<std::int32_t> opacity;  // -1 resets
  std::optional<std::pair<std::int32_t, std::int32_t>> relative_position;
  bool size_constraints = false;  // "size-constraints" was a mapping
  std::optional<std::pair<std::uint32_t, std::uint32_t>> minimum_size;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> maximum_size;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> increment;
  std::optional<bool> decorations;
  std::optional<bool> fullscreen;
  std::optional<bool> maximized;
  std::optional<bool> iconic;
  std::optional<bool> above;
  std::optional<bool> below;
  std::optional<bool> attention_requested;
  std::optional<bool> skip_taskbar;
  std::optional<bool> skip_pager;
  std::optional<bool> sticky;
  std::optional<bool> shaded;
  std::optional<bool> modal;

  static WindowMetadata parse(const Yaml& m);
};

// The damage lists of this many presented frames are remembered.
inline constexpr std::size_t kDamageHistoryFrames = 8;
// After this many presents in a row without a buffer age, damage is no longer tracked.
inline constexpr std::uint32_t kMaxUnknownAgePresents = 7;

// The answer to a draw, held until every draw read before it is answered; a painted draw's answer
// also waits for the present that shows it.
struct PendingAck {
  std::uint64_t packet_sequence = 0;
  std::uint64_t wid = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int64_t decode_time = 0;
  std::string message;
  bool unshown = false;
};

// At most this many answers wait: many small pictures decoded ahead of the queued present are
// shown at once then, so their answers never pile up without end.
inline constexpr std::size_t kMaxUnshownDraws = 1024;

struct ClientWindow {
  std::optional<std::uint64_t> owner;
  std::optional<std::uint64_t> parent;
  // The back buffer. It may stand empty while `picture` holds it, or while it is all black (a
  // new or resized window): pixels() makes it whole first.
  std::vector<std::uint32_t> back_buffer;
  // A whole-window picture of B, G, R, X bytes that stands for the back buffer (the fourth byte
  // is not part of it): a full-window draw is held as decoded and presented from here, so a
  // video frame is not copied into the back buffer on its way to the screen.
  Bytes picture;
  std::vector<std::uint32_t> column_map;
  std::vector<std::uint32_t> row_map;
  std::vector<Rect> damage;
  std::deque<std::vector<Rect>> damage_history;
  std::size_t unshown_draws = 0;  // painted draws whose answers wait for this window's present
  std::shared_ptr<Window> window;
  std::unique_ptr<Surface> surface;  // declared after the window: released first
  BandWorkers* bands = nullptr;      // the session's helpers for large presents; none: one thread
  std::uint64_t wid = 0;
  double scale = 1.0;
  std::int32_t pointer_x = 0;
  std::int32_t pointer_y = 0;
  std::uint32_t server_w = 1;
  std::uint32_t server_h = 1;
  std::uint32_t local_w = 1;
  std::uint32_t local_h = 1;
  std::uint32_t unknown_age_count = 0;
  bool override_redirect = false;
  bool above = false;
  bool below = false;
  bool modal = false;
  bool disabled_by_modal = false;
  bool track_damage = true;

  void apply_metadata(const WindowMetadata& md);
  // The back buffer's server_w x server_h pixels, made from the held picture (which goes back to
  // the decoder's pool) or black when it stands empty.
  [[nodiscard]] std::span<std::uint32_t> pixels();
  // After a picture is handed over: the old pixels are no longer needed.
  void drop_back_buffer();
  // An all-black back buffer of the current server size, allocated once something needs it.
  void clear_back_buffer();
  // Presents the back buffer, all of it or only what changed since the buffer's last frame; the
  // error says why nothing reached the screen (it is logged too).
  [[nodiscard]] Status draw_screen();
};

// Whether a window of these sizes may exist: each side within kMaxWindowSide and each picture
// within kMaxWindowPixels.
[[nodiscard]] bool window_size_allowed(std::uint32_t server_w, std::uint32_t server_h,
                                       std::uint32_t local_w, std::uint32_t local_h);

// Server units to local pixels: round half away from zero; sizes clamped to the u32 range and
// at least 1, positions saturated to i32 (NaN gives 0).
std::uint32_t local_size(std::uint32_t server, double scale);
std::int32_t local_position(std::int32_t server, double scale);
// Local pixels to server units, the same way.
std::uint32_t server_size(std::uint32_t local, double scale);

// (x + smallest monitor x, y + smallest monitor y), saturating; unchanged without monitors.
std::pair<std::int32_t, std::int32_t> virtual_desktop_offset(
    const std::vector<MonitorInfo>& monitors, std::int32_t x, std::int32_t y);
// {"index": i, "position": [x - record.x, y - record.y]} of the first record holding the point.
std::optional<Value> monitor_at_point(const std::vector<MonitorInfo>& monitors, std::int32_t x,
                                      std::int32_t y);
struct LogicalGeometry {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 1;
  std::uint32_t height = 1;
};
// The client area's screen position ((0, 0) when unknown) and inner size, divided by `scale`.
LogicalGeometry window_logical_geometry(const Window& window, double scale);
std::optional<std::pair<std::uint32_t, std::uint32_t>> scale_size_limit(
    std::optional<std::pair<std::uint32_t, std::uint32_t>> limit, double scale);
// An empty object, or {"monitor": monitor_at_point(...)} when a monitor holds the point.
Value pointer_monitor_info(const std::vector<MonitorInfo>& monitors, std::int32_t x,
                           std::int32_t y);
// Moves the window so that its client area's top-left corner is at the local position; false
// (and no move) when the client area's position cannot be read.
bool place_client_area(Window& window, std::int32_t x_local, std::int32_t y_local);

}  // namespace nolv
