// A native window and a pixel surface that record every operation, for tests of window logic.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/window.h"

namespace nolv {

class FakeSurface : public Surface {
 public:
  Status resize(std::uint32_t width, std::uint32_t height) override {
    if (fail_resize) return fail("resize refused");
    width_ = width;
    height_ = height;
    pixels.assign(static_cast<std::size_t>(width) * height, 0);
    ++resizes;
    return {};
  }
  Result<SurfaceBuffer> buffer() override {
    if (fail_buffer) return fail("no buffer");
    std::uint8_t age = next_age;
    if (!ages.empty()) {
      age = ages.front();
      ages.pop_front();
    }
    // A wrong-sized buffer lets tests reach the size check.
    std::uint32_t w = buffer_size_override ? buffer_size_override->width : width_;
    std::uint32_t h = buffer_size_override ? buffer_size_override->height : height_;
    if (static_cast<std::size_t>(w) * h > pixels.size()) pixels.resize(std::size_t{w} * h);
    return SurfaceBuffer{std::span(pixels.data(), std::size_t{w} * h), w, h, age};
  }
  Status present() override {
    presents.push_back(std::nullopt);
    if (fail_present) return fail("present refused");
    return {};
  }
  Status present_with_damage(std::span<const Rect> damage) override {
    presents.emplace_back(std::vector<Rect>(damage.begin(), damage.end()));
    if (fail_present) return fail("present refused");
    return {};
  }

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  std::vector<std::uint32_t> pixels;
  // Ages handed out by buffer(), front first; next_age once they run out.
  std::deque<std::uint8_t> ages;
  std::uint8_t next_age = 1;
  std::optional<PhysicalSize> buffer_size_override;
  bool fail_resize = false;
  bool fail_buffer = false;
  bool fail_present = false;
  int resizes = 0;
  // One entry per present: none = the whole buffer, else the damage list.
  std::vector<std::optional<std::vector<Rect>>> presents;

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
};

class FakeWindow : public Window {
 public:
  explicit FakeWindow(WindowId window_id, WindowAttributes attrs = {})
      : attributes(std::move(attrs)), id_(window_id) {
    title = attributes.title;
    if (attributes.inner_size) size = *attributes.inner_size;
    if (attributes.position) {
      outer = *attributes.position;
      inner = PhysicalPosition{outer->x + frame_left, outer->y + frame_top};
    }
    decorations = attributes.decorations;
    resizable = attributes.resizable;
    skip_taskbar = attributes.skip_taskbar;
    level = attributes.level;
  }

  WindowId id() const override { return id_; }
  Result<std::unique_ptr<Surface>> create_surface() override {
    if (fail_surface) return fail("no surface");
    auto s = std::make_unique<FakeSurface>();
    s->fail_resize = fail_surface_resize;
    surface = s.get();
    return std::unique_ptr<Surface>(std::move(s));
  }
  void set_title(const std::string& t) override {
    title = t;
    log("title " + t);
  }
  std::optional<PhysicalPosition> inner_position() const override { return inner; }
  std::optional<PhysicalPosition> outer_position() const override { return outer; }
  void set_inner_position(PhysicalPosition p) override {
    log(fmt::format("inner_position {},{}", p.x, p.y));
    inner = p;
    outer = PhysicalPosition{p.x - frame_left, p.y - frame_top};
  }
  PhysicalSize inner_size() const override { return size; }
  void request_inner_size(PhysicalSize s) override {
    log(fmt::format("request_inner_size {}x{}", s.width, s.height));
    requested_size = s;
  }
  void set_min_inner_size(std::optional<PhysicalSize> s) override {
    min_size = s;
    log("min_size " + describe(s));
  }
  void set_max_inner_size(std::optional<PhysicalSize> s) override {
    max_size = s;
    log("max_size " + describe(s));
  }
  void set_resize_increments(std::optional<PhysicalSize> s) override {
    increments = s;
    log("increments " + describe(s));
  }
  std::optional<NativeMonitor> current_monitor() const override { return monitor; }
  void set_decorations(bool d) override {
    decorations = d;
    log(fmt::format("decorations {}", d));
  }
  void set_resizable(bool r) override {
    resizable = r;
    log(fmt::format("resizable {}", r));
  }
  void set_skip_taskbar(bool s) override {
    skip_taskbar = s;
    log(fmt::format("skip_taskbar {}", s));
  }
  void set_window_level(WindowLevel l) override {
    level = l;
    log(fmt::format("level {}", l == WindowLevel::AlwaysOnTop      ? "top"
                                : l == WindowLevel::AlwaysOnBottom ? "bottom"
                                                                   : "normal"));
  }
  void set_fullscreen(bool f) override {
    fullscreen = f;
    log(fmt::format("fullscreen {}", f));
  }
  void set_maximized(bool m) override {
    maximized = m;
    log(fmt::format("maximized {}", m));
  }
  void set_minimized(bool m) override {
    minimized = m;
    log(fmt::format("minimized {}", m));
  }
  std::optional<bool> is_minimized() const override { return minimized; }
  bool is_visible() const override { return visible; }
  bool has_focus() const override { return focused; }
  void focus_window() override {
    log("focus_window");
    focused = true;
  }
  void request_user_attention(bool a) override {
    attention = a;
    log(fmt::format("attention {}", a));
  }
  Status set_cursor_grab(CursorGrabMode mode) override {
    log(fmt::format("cursor_grab {}", mode == CursorGrabMode::None       ? "none"
                                      : mode == CursorGrabMode::Confined ? "confined"
                                                                         : "locked"));
    if (fail_grab) return fail("grab refused");
    grab = mode;
    return {};
  }
  Status drag_window() override {
    log("drag_window");
    return {};
  }
  Status drag_resize_window(ResizeDirection d) override {
    log(fmt::format("drag_resize {}", static_cast<int>(d)));
    return {};
  }
  void set_input_enabled(bool e) override {
    input_enabled = e;
    log(fmt::format("input_enabled {}", e));
  }
  Status set_custom_cursor(std::shared_ptr<const CustomCursor> c) override {
    cursor = std::move(c);
    log("custom_cursor");
    return {};
  }
  void set_default_cursor() override {
    cursor.reset();
    log("default_cursor");
  }
  Status set_window_icon(std::optional<WindowIcon> i) override {
    icon = std::move(i);
    log("icon");
    return {};
  }
  void request_redraw() override {
    ++redraw_requests;
    log("request_redraw");
  }

  // Recorded operations, in order ("title x", "maximized true", ...).
  std::vector<std::string> ops;
  WindowAttributes attributes;
  std::string title;
  // Frame offset of the decorations: client area = frame + (frame_left, frame_top).
  std::int32_t frame_left = 0;
  std::int32_t frame_top = 0;
  std::optional<PhysicalPosition> inner;
  std::optional<PhysicalPosition> outer;
  PhysicalSize size;
  std::optional<PhysicalSize> requested_size;
  std::optional<PhysicalSize> min_size, max_size, increments;
  std::optional<NativeMonitor> monitor;
  bool decorations = true;
  bool resizable = true;
  bool skip_taskbar = false;
  WindowLevel level = WindowLevel::Normal;
  bool fullscreen = false;
  bool maximized = false;
  std::optional<bool> minimized = false;
  bool visible = true;
  bool focused = false;
  bool attention = false;
  bool input_enabled = true;
  CursorGrabMode grab = CursorGrabMode::None;
  bool fail_grab = false;
  bool fail_surface = false;
  bool fail_surface_resize = false;  // the surfaces made from now on refuse every size
  std::shared_ptr<const CustomCursor> cursor;
  std::optional<WindowIcon> icon;
  int redraw_requests = 0;
  FakeSurface* surface = nullptr;  // the last surface created, owned by the caller

 private:
  void log(std::string op) { ops.push_back(std::move(op)); }
  static std::string describe(std::optional<PhysicalSize> s) {
    return s ? fmt::format("{}x{}", s->width, s->height) : std::string("none");
  }
  WindowId id_;
};

}  // namespace nolv
