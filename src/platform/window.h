// One native top-level window, its pixel surface and the events it delivers, as the client code
// sees them. The Qt layer implements these; tests use the recording fakes in tests/fakes/.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "util/result.h"

namespace nolv {

// The windowing library's identifier of a native window (not the server's window id).
struct WindowId {
  std::uint64_t native = 0;
  friend bool operator==(const WindowId&, const WindowId&) = default;
};

// Screen or window-relative position in physical pixels.
struct PhysicalPosition {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const PhysicalPosition&, const PhysicalPosition&) = default;
};

// Size in physical pixels.
struct PhysicalSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const PhysicalSize&, const PhysicalSize&) = default;
};

// A rectangle of local pixels (damage, rescaling).
struct Rect {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The monitor a window is on, as the platform reports it (physical pixels).
struct NativeMonitor {
  std::optional<PhysicalPosition> position;  // none when the platform cannot tell
  PhysicalSize size;
};

enum class WindowLevel : std::uint8_t { AlwaysOnBottom, Normal, AlwaysOnTop };
enum class CursorGrabMode : std::uint8_t { None, Confined, Locked };
enum class ResizeDirection : std::uint8_t {
  East,
  North,
  NorthEast,
  NorthWest,
  South,
  SouthEast,
  SouthWest,
  West,
};

// Cursors larger than this on either side are refused by the platform.
inline constexpr std::uint32_t kMaxCursorSide = 2048;

// A custom cursor from straight (not premultiplied) RGBA bytes, row-major.
struct CustomCursor {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t hotspot_x = 0;
  std::uint32_t hotspot_y = 0;
  std::vector<std::uint8_t> rgba;  // width * height * 4 bytes
};

// A window icon from straight RGBA bytes, row-major.
struct WindowIcon {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // width * height * 4 bytes
};

// The writable pixels of a surface: width * height pixels of 0x00RRGGBB, row-major. Valid until
// the next present or resize.
struct SurfaceBuffer {
  std::span<std::uint32_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Frames since this buffer was last presented; 0 when its contents are unknown.
  std::uint8_t age = 0;
};

// The CPU pixel buffer of one window.
class Surface {
 public:
  virtual ~Surface() = default;
  [[nodiscard]] virtual Status resize(std::uint32_t width, std::uint32_t height) = 0;
  [[nodiscard]] virtual Result<SurfaceBuffer> buffer() = 0;
  // Shows the whole buffer.
  [[nodiscard]] virtual Status present() = 0;
  // Shows only these rectangles of the buffer; the rest of the window keeps its last picture.
  [[nodiscard]] virtual Status present_with_damage(std::span<const Rect> damage) = 0;
};

class Window;

enum class WindowKind : std::uint8_t {
  // A top-level the window manager frames, places and focuses.
  Managed,
  // A menu or tooltip: the window manager never sees it, so it has no frame or taskbar entry,
  // stays exactly where it is put, and is shown without taking the keyboard focus. Fixed at
  // creation: the display reads it only when the window is mapped.
  OverrideRedirect,
};

// What a new window starts with. Defaults: visible, active, normal level.
struct WindowAttributes {
  WindowKind kind = WindowKind::Managed;
  std::string title;
  std::optional<PhysicalSize> inner_size;
  std::optional<PhysicalPosition> position;  // where the window is first placed, physical pixels
  bool resizable = true;
  bool decorations = true;
  bool skip_taskbar = false;
  bool visible = true;
  bool active = true;  // an override-redirect window is never activated
  WindowLevel level = WindowLevel::Normal;
  // The owner makes this window its pop-up (transient-for): no taskbar button of its own.
  std::shared_ptr<Window> owner;
};

class Window {
 public:
  virtual ~Window() = default;

  [[nodiscard]] virtual WindowId id() const = 0;
  [[nodiscard]] virtual Result<std::unique_ptr<Surface>> create_surface() = 0;

  virtual void set_title(const std::string& title) = 0;

  // Top-left corner of the client area on the screen; none when it cannot be read.
  [[nodiscard]] virtual std::optional<PhysicalPosition> inner_position() const = 0;
  // Top-left corner of the frame on the screen; none when it cannot be read.
  [[nodiscard]] virtual std::optional<PhysicalPosition> outer_position() const = 0;
  // Moves the window so that its client area's top-left corner lands at `position`, the frame
  // offset corrected by the platform, without activating, resizing or restacking it.
  virtual void set_inner_position(PhysicalPosition position) = 0;
  [[nodiscard]] virtual PhysicalSize inner_size() const = 0;
  virtual void request_inner_size(PhysicalSize size) = 0;
  virtual void set_min_inner_size(std::optional<PhysicalSize> size) = 0;
  virtual void set_max_inner_size(std::optional<PhysicalSize> size) = 0;
  virtual void set_resize_increments(std::optional<PhysicalSize> size) = 0;
  // The monitor nearest to the window; none when the platform knows no monitor.
  [[nodiscard]] virtual std::optional<NativeMonitor> current_monitor() const = 0;

  virtual void set_decorations(bool decorated) = 0;
  virtual void set_resizable(bool resizable) = 0;
  virtual void set_skip_taskbar(bool skip) = 0;
  virtual void set_window_level(WindowLevel level) = 0;
  // Borderless fullscreen on the monitor the window is on.
  virtual void set_fullscreen(bool fullscreen) = 0;
  virtual void set_maximized(bool maximized) = 0;
  virtual void set_minimized(bool minimized) = 0;
  // None when the platform cannot tell.
  [[nodiscard]] virtual std::optional<bool> is_minimized() const = 0;
  [[nodiscard]] virtual bool is_visible() const = 0;
  // Active and holding the keyboard focus.
  [[nodiscard]] virtual bool has_focus() const = 0;
  // Raises the window and activates it; an override-redirect window is only raised.
  virtual void focus_window() = 0;
  // Informational attention request (taskbar flash); false cancels a pending one.
  virtual void request_user_attention(bool attention) = 0;

  [[nodiscard]] virtual Status set_cursor_grab(CursorGrabMode mode) = 0;
  // Starts an interactive move or resize driven by the pointer.
  [[nodiscard]] virtual Status drag_window() = 0;
  [[nodiscard]] virtual Status drag_resize_window(ResizeDirection direction) = 0;
  // A disabled window takes no keyboard or pointer input (its modal window has it).
  virtual void set_input_enabled(bool enabled) = 0;

  // Sides above kMaxCursorSide, or a byte count that does not match, are refused.
  [[nodiscard]] virtual Status set_custom_cursor(std::shared_ptr<const CustomCursor> cursor) = 0;
  virtual void set_default_cursor() = 0;
  [[nodiscard]] virtual Status set_window_icon(std::optional<WindowIcon> icon) = 0;

  // Asks for a RedrawRequested event soon.
  virtual void request_redraw() = 0;
};

// ---- window events ----------------------------------------------------------------------------

// The keys the client names; every other named key is Other.
enum class NamedKey : std::uint8_t {
  Alt,
  AltGraph,
  CapsLock,
  Control,
  NumLock,
  ScrollLock,
  Shift,
  Super,
  Meta,
  Fn,
  Enter,
  Tab,
  Space,
  ArrowDown,
  ArrowLeft,
  ArrowRight,
  ArrowUp,
  End,
  Home,
  PageDown,
  PageUp,
  Backspace,
  Delete,
  Insert,
  ContextMenu,
  Escape,
  Pause,
  PrintScreen,
  F1,
  F2,
  F3,
  F4,
  F5,
  F6,
  F7,
  F8,
  F9,
  F10,
  F11,
  F12,
  F13,
  F14,
  F15,
  F16,
  F17,
  F18,
  F19,
  F20,
  F21,
  F22,
  F23,
  F24,
  Other,
};

// The text a key produces (UTF-8), e.g. "a", "A", "é".
struct CharacterKey {
  std::string text;
  friend bool operator==(const CharacterKey&, const CharacterKey&) = default;
};
// A dead key and the character it would combine, if known (e.g. U+005E for a circumflex).
struct DeadKey {
  std::optional<char32_t> character;
  friend bool operator==(const DeadKey&, const DeadKey&) = default;
};
struct UnidentifiedKey {
  friend bool operator==(const UnidentifiedKey&, const UnidentifiedKey&) = default;
};
using LogicalKey = std::variant<NamedKey, CharacterKey, DeadKey, UnidentifiedKey>;

// Modifier bits of ModifiersChanged.
inline constexpr std::uint32_t kModifierShift = 1U << 0;
inline constexpr std::uint32_t kModifierControl = 1U << 1;
inline constexpr std::uint32_t kModifierAlt = 1U << 2;
inline constexpr std::uint32_t kModifierSuper = 1U << 3;

struct RedrawRequested {};
struct Resized {
  PhysicalSize size;
};
struct Moved {
  PhysicalPosition position;
};
struct CloseRequested {};
struct Focused {
  bool focused = false;
};
struct KeyboardInput {
  LogicalKey logical_key;
  std::uint32_t scancode = 0;  // PC set-1, extended keys 0xE0xx; 0 when unknown
  bool pressed = false;
  bool repeat = false;
  bool synthetic = false;
};
struct ModifiersChanged {
  std::uint32_t state = 0;  // kModifier* bits
};
// Pointer position relative to the client area's top-left corner, physical pixels.
struct CursorMoved {
  double x = 0;
  double y = 0;
};

enum class MouseButtonKind : std::uint8_t { Left, Right, Middle, Back, Forward, Other };
struct MouseButton {
  MouseButtonKind kind = MouseButtonKind::Left;
  std::uint16_t other = 0;  // the button number when kind is Other
};
struct MouseInput {
  MouseButton button;
  bool pressed = false;
};

struct LineDelta {
  float x = 0;
  float y = 0;
};
struct PixelDelta {
  double x = 0;
  double y = 0;
};
// Positive y scrolls up (away from the user), positive x scrolls right.
struct MouseWheel {
  std::variant<LineDelta, PixelDelta> delta;
};
struct ScaleFactorChanged {
  double scale_factor = 1.0;
};
// The display server ended the window's cursor grab on its own (the window was unmapped or
// iconified, or an interactive move or resize took the pointer).
struct PointerGrabLost {};
// Anything the client does not act on (entered, left, occluded, dropped file, ...).
struct OtherWindowEvent {
  std::string description;
};

using WindowEvent = std::variant<RedrawRequested, Resized, Moved, CloseRequested, Focused,
                                 KeyboardInput, ModifiersChanged, CursorMoved, MouseInput,
                                 MouseWheel, ScaleFactorChanged, PointerGrabLost, OtherWindowEvent>;

// The event in a debug form, for log lines: "Resized(640x480)", "KeyboardInput(...)".
std::string to_string(const WindowEvent& event);
std::string to_string(const LogicalKey& key);

}  // namespace nolv

template <>
struct std::hash<nolv::WindowId> {
  std::size_t operator()(const nolv::WindowId& id) const noexcept {
    return std::hash<std::uint64_t>{}(id.native);
  }
};
