#include "platform/qt/qt_window.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QBackingStore>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QIconEngine>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QWheelEvent>
#include <QWindow>

#include "platform/qt/qt_keys.h"
#include "platform/qt/qt_platform.h"
#include "platform/qt/scancodes.h"
#include "platform/qt/x11_window.h"
#include "util/saturating.h"

namespace nolv {
namespace {

// Qt's own "no maximum" (QWINDOWSIZE_MAX).
constexpr int kQtMaxWindowSide = (1 << 24) - 1;
// One wheel notch in Qt's angle delta (eighths of a degree).
constexpr double kAnglePerLine = 120.0;

int to_qt_side(std::uint32_t side) {
  return static_cast<int>(std::min<std::uint32_t>(side, kQtMaxWindowSide));
}

const QEvent::Type kDeliverEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Carries one translated event to the top of the loop.
class DeliverEvent : public QEvent {
 public:
  explicit DeliverEvent(WindowEvent e) : QEvent(kDeliverEvent), event(std::move(e)) {}
  WindowEvent event;
};

std::atomic<std::uint64_t> next_window_id{1};

// The keyboard is one for all windows: the modifier bits last reported, by whichever window saw
// them (event-loop thread only).
std::uint32_t reported_modifier_bits = 0;

// X request headers: 24 bytes for PutImage and ChangeProperty, 4 more with BIG-REQUESTS; a
// little room is kept on top.
constexpr std::uint64_t kRequestHeaderBytes = 32;
// _NET_WM_ICON carries the width and the height ahead of the pixels.
constexpr std::uint64_t kIconSizeBytes = 8;

// The largest image of 4-byte pixels that one X request can carry; no bound without X.
std::uint64_t max_request_pixels() {
  const std::uint64_t bytes = x11::max_request_bytes();
  if (bytes == 0) return UINT64_MAX;
  return bytes > kRequestHeaderBytes ? (bytes - kRequestHeaderBytes) / 4 : 0;
}

// An icon of one picture, handed out as it is. The engine behind QIcon(QPixmap) caches every
// size it is asked for in the process-wide pixmap cache, under a key made from that pixmap: a
// window shown thousands of icons kept their pixels until the cache filled, and a key for each
// icon for ever after.
class SinglePictureIconEngine final : public QIconEngine {
 public:
  explicit SinglePictureIconEngine(QPixmap picture) : picture_(std::move(picture)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    painter->drawPixmap(rect, picture_);
  }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    return picture_.size().scaled(size, Qt::KeepAspectRatio);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    if (picture_.size() == size) return picture_;
    return picture_.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {picture_.size()}; }
  bool isNull() override { return picture_.isNull(); }
  QIconEngine* clone() const override { return new SinglePictureIconEngine(picture_); }

 private:
  QPixmap picture_;
};

MouseButton mouse_button(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton:
      return {MouseButtonKind::Left, 0};
    case Qt::RightButton:
      return {MouseButtonKind::Right, 0};
    case Qt::MiddleButton:
      return {MouseButtonKind::Middle, 0};
    case Qt::BackButton:
      return {MouseButtonKind::Back, 0};
    case Qt::ForwardButton:
      return {MouseButtonKind::Forward, 0};
    default:
      break;
  }
  // Qt's ExtraButton3 (bit 5) is X button 10, and so on.
  auto bits = static_cast<std::uint32_t>(b);
  std::uint16_t bit = 0;
  while (bits > 1) {
    bits >>= 1;
    ++bit;
  }
  return {MouseButtonKind::Other, static_cast<std::uint16_t>(bit + 5)};
}

class QtNativeWindow;

class QtWindow : public QWindow {
 public:
  QtWindow(WindowId window_id, WindowEventHandler handler)
      : id_(window_id), handler_(std::move(handler)) {
    setSurfaceType(QSurface::RasterSurface);
    follow_screen_dpi(screen());
    QObject::connect(this, &QWindow::screenChanged, this, &QtWindow::follow_screen_dpi);
  }

  WindowId id() const { return id_; }
  WindowKind kind = WindowKind::Managed;
  bool input_enabled = true;
  // This window holds the confined pointer grab.
  bool grabbed = false;
  // A window manager ignores an iconify request for a window it has not taken yet, so a window
  // minimised straight after creation is minimised once it is first shown.
  bool minimize_when_exposed = false;

 protected:
  bool event(QEvent* e) override {
    switch (e->type()) {
      case QEvent::UpdateRequest:
        post(RedrawRequested{});
        return true;
      case QEvent::Close:
        e->ignore();  // the server decides whether the window goes
        // A window disabled for a modal one can be neither closed nor activated by the user.
        if (input_enabled) post(CloseRequested{});
        return true;
      case QEvent::FocusIn:
        // Modifiers may have changed while another program or window had the keyboard.
        resync_modifiers();
        if (input_enabled) post(Focused{true});
        break;
      case QEvent::FocusOut:
        post(Focused{false});
        break;
      case QEvent::Enter:
        post(OtherWindowEvent{"CursorEntered"});
        break;
      case QEvent::Leave:
        post(OtherWindowEvent{"CursorLeft"});
        break;
      case QEvent::ScreenChangeInternal:
        post(ScaleFactorChanged{screen_scale_factor(screen())});
        break;
      default:
        if (e->type() == kDeliverEvent) {
          if (handler_) handler_(id_, std::move(static_cast<DeliverEvent*>(e)->event));
          return true;
        }
        break;
    }
    return QWindow::event(e);
  }
  void exposeEvent(QExposeEvent*) override {
    if (!isExposed()) {
      // X ended the pointer grab when the window stopped being viewable (unmapped, iconified).
      // The window may be mapped again by the time this arrives, so its state now proves
      // nothing: a grab wrongly given up is taken again on the next request, a lost one kept
      // on record would never be.
      if (grabbed) lose_grab();
      return;
    }
    if (minimize_when_exposed) {
      minimize_when_exposed = false;
      showMinimized();
    }
    check_placement();
    post(RedrawRequested{});
  }
  void resizeEvent(QResizeEvent* e) override {
    const double dpr = devicePixelRatio();
    post(
        Resized{{static_cast<std::uint32_t>(std::max(0L, std::lround(e->size().width() * dpr))),
                 static_cast<std::uint32_t>(std::max(0L, std::lround(e->size().height() * dpr)))}});
  }
  void moveEvent(QMoveEvent*) override {
    check_placement();
    const double dpr = devicePixelRatio();
    const QPoint p = framePosition();
    post(Moved{
        {saturate_round<std::int32_t>(p.x() * dpr), saturate_round<std::int32_t>(p.y() * dpr)}});
  }
  void keyPressEvent(QKeyEvent* e) override { key(e, true); }
  void keyReleaseEvent(QKeyEvent* e) override { key(e, false); }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (!input_enabled) return;
    modifiers(e->modifiers());
    const double dpr = devicePixelRatio();
    post(CursorMoved{e->position().x() * dpr, e->position().y() * dpr});
  }
  void mousePressEvent(QMouseEvent* e) override { button(e, true); }
  // Qt delivers the second press of a double click as a press too.
  void mouseDoubleClickEvent(QMouseEvent* e) override { e->accept(); }
  void mouseReleaseEvent(QMouseEvent* e) override { button(e, false); }
  void wheelEvent(QWheelEvent* e) override {
    if (!input_enabled) return;
    modifiers(e->modifiers());
    const QPoint angle = e->angleDelta();
    if (!angle.isNull()) {
      post(MouseWheel{LineDelta{static_cast<float>(angle.x() / kAnglePerLine),
                                static_cast<float>(angle.y() / kAnglePerLine)}});
    } else {
      const QPoint pixels = e->pixelDelta();
      post(
          MouseWheel{PixelDelta{static_cast<double>(pixels.x()), static_cast<double>(pixels.y())}});
    }
  }

 public:
  void lose_grab() {
    grabbed = false;
    post(PointerGrabLost{});
  }
  // Qt asks the X window manager for the client area's position (static gravity); where the
  // window lands is checked once the manager has placed it.
  void place_client_area(QPoint at) {
    // A shown window asked to stay where it is gets no move to check against.
    const bool there = isExposed() && geometry().topLeft() == at;
    asked_client_area = x11::available() && !there ? std::optional(at) : std::nullopt;
    setPosition(at);
  }
  // A maximised or full-screen window goes where the manager lays it out.
  void forget_placement() { asked_client_area.reset(); }

 private:
  // A manager that ignores static gravity for a window it has not framed yet (i3) puts the
  // frame where the client area was asked, and the client area lands off by the frame's
  // borders. Once framed, the window is moved by the same request again: under static gravity
  // it asks for the frame at the asked point plus the frame's offset, which such a manager
  // honours for a framed window. Once per ask, so a manager that keeps placing the window
  // elsewhere is not fought.
  void check_placement() {
    if (!asked_client_area || !isExposed()) return;
    const QPoint asked = *std::exchange(asked_client_area, std::nullopt);
    if (windowStates() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) return;
    if (geometry().topLeft() != asked) setPosition(asked);
  }
  // A desktop's scaling setting changed while the window stays on its screen (Xft.dpi) is a
  // new scale factor too.
  void follow_screen_dpi(QScreen* on) {
    QObject::disconnect(dpi_watch_);
    if (on == nullptr) return;
    dpi_watch_ = QObject::connect(on, &QScreen::logicalDotsPerInchChanged, this, [this] {
      post(ScaleFactorChanged{screen_scale_factor(screen())});
    });
  }
  void post(WindowEvent event) {
    QCoreApplication::postEvent(this, new DeliverEvent(std::move(event)));
  }
  void modifiers(Qt::KeyboardModifiers mods) {
    const std::uint32_t bits = modifier_bits_from_qt(mods);
    if (bits == reported_modifier_bits) return;
    reported_modifier_bits = bits;
    post(ModifiersChanged{bits});
  }
  // Always reported, so whoever keeps the state hears the keyboard's real one.
  void resync_modifiers() {
    const auto mods = x11::keyboard_modifiers();
    if (!mods) return;
    std::uint32_t bits = 0;
    if (mods->shift) bits |= kModifierShift;
    if (mods->control) bits |= kModifierControl;
    if (mods->alt) bits |= kModifierAlt;
    if (mods->super) bits |= kModifierSuper;
    reported_modifier_bits = bits;
    post(ModifiersChanged{bits});
  }
  void key(QKeyEvent* e, bool pressed) {
    if (!input_enabled) return;
    modifiers(e->modifiers());
    // The layout is asked for only on the two keys it changes: asking costs a round trip.
    const bool korean = is_korean_language_key(e->nativeScanCode()) &&
                        x_keyboard_layout() == std::optional<std::string>("kr");
    KeyboardInput input = keyboard_input_from_qt(*e, korean);
    input.pressed = pressed;
    post(std::move(input));
  }
  void button(QMouseEvent* e, bool pressed) {
    if (!input_enabled) return;
    modifiers(e->modifiers());
    post(MouseInput{mouse_button(e->button()), pressed});
  }

  WindowId id_;
  WindowEventHandler handler_;
  QMetaObject::Connection dpi_watch_;
  // Where the client area was last asked to be, until the manager's placement is checked.
  std::optional<QPoint> asked_client_area;
};

class QtSurface : public Surface {
 public:
  QtSurface(const QtSurface&) = delete;
  QtSurface& operator=(const QtSurface&) = delete;
  explicit QtSurface(std::shared_ptr<QtWindow> window)
      : window_(std::move(window)), store_(window_.get()) {}
  ~QtSurface() override {
    if (painting_) store_.endPaint();
  }

  Status resize(std::uint32_t width, std::uint32_t height) override {
    if (width == 0 || height == 0 || width > kQtMaxWindowSide || height > kQtMaxWindowSide)
      return fail("unsupported surface size {}x{}", width, height);
    if (painting_) {
      store_.endPaint();
      painting_ = false;
    }
    // The store counts in Qt's device-independent pixels; its image has the device pixels.
    const double dpr = window_->devicePixelRatio();
    store_.resize(QSize(static_cast<int>(std::lround(width / dpr)),
                        static_cast<int>(std::lround(height / dpr))));
    width_ = width;
    height_ = height;
    staging_.clear();
    presented_ = false;
    return {};
  }

  Result<SurfaceBuffer> buffer() override {
    if (width_ == 0) return fail("the surface has no size");
    if (!painting_) {
      store_.beginPaint(QRegion(0, 0, static_cast<int>(width_), static_cast<int>(height_)));
      painting_ = true;
    }
    auto* image = dynamic_cast<QImage*>(store_.paintDevice());
    if (image == nullptr) return fail("the backing store has no image");
    if (image->depth() != 32) return fail("unsupported pixel depth {}", image->depth());
    const auto w = static_cast<std::uint32_t>(image->width());
    const auto h = static_cast<std::uint32_t>(image->height());
    if (w != width_ || h != height_)
      return fail("the backing store holds {}x{} pixels for a {}x{} surface (pixel ratio {})", w, h,
                  width_, height_, image->devicePixelRatio());
    if (!holds_xrgb(image->format()))
      return fail("unsupported pixel format {}", static_cast<int>(image->format()));
    const std::uint8_t age = presented_ ? 1 : 0;
    if (image->bytesPerLine() == static_cast<qsizetype>(w) * 4) {
      staging_.clear();
      auto* bits = reinterpret_cast<std::uint32_t*>(image->bits());
      return SurfaceBuffer{std::span(bits, std::size_t{w} * h), w, h, age};
    }
    // Padded rows (some compositors' buffers): the pixels are drawn here and copied row by
    // row when presented; this copy keeps what was presented, as the store does.
    staging_.resize(std::size_t{w} * h);
    return SurfaceBuffer{std::span(staging_), w, h, age};
  }

  Status present() override {
    return flush(QRegion(0, 0, static_cast<int>(width_), static_cast<int>(height_)));
  }

  Status present_with_damage(std::span<const Rect> damage) override {
    QRegion region;
    for (const Rect& r : damage)
      region += QRect(static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.width),
                      static_cast<int>(r.height));
    return flush(region);
  }

 private:
  Status flush(const QRegion& region) {
    if (!painting_) return fail("no buffer to present");
    if (auto* image = dynamic_cast<QImage*>(store_.paintDevice()); image != nullptr)
      finish_pixels(*image, region);
    store_.endPaint();
    painting_ = false;
    // An unexposed window keeps the picture in the store; its expose asks for a redraw.
    if (window_->isExposed()) store_.flush(region);
    presented_ = true;
    return {};
  }

  // Pixels are 0x00RRGGBB: the fourth byte is padding, never alpha.
  static bool holds_xrgb(QImage::Format format) {
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
           format == QImage::Format_ARGB32_Premultiplied;
  }

  // Copies staged rows into the store's image and, where the fourth byte reaches the screen as
  // alpha (Wayland buffers), makes the region opaque: a zero there would show the picture as
  // transparent.
  void finish_pixels(QImage& image, const QRegion& region) {
    const bool opaque = image.hasAlphaChannel() && alpha_reaches_screen();
    if (staging_.empty() && !opaque) return;
    const QRect bounds = image.rect();
    for (const QRect& damaged : region) {
      const QRect r = damaged.intersected(bounds);
      if (r.isEmpty()) continue;
      for (int y = r.top(); y <= r.bottom(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y)) + r.left();
        const auto n = static_cast<std::size_t>(r.width());
        if (!staging_.empty()) {
          const std::size_t from = std::size_t{width_} * static_cast<std::size_t>(y) +
                                   static_cast<std::size_t>(r.left());
          std::copy_n(staging_.begin() + static_cast<std::ptrdiff_t>(from), n, row);
        }
        if (opaque) {
          for (std::size_t i = 0; i < n; ++i) row[i] |= kOpaque;
        }
      }
    }
  }

  // On X the store paints into the alpha version of the window's format by its own choice, but
  // a window of a visual without alpha (depth 24) drops the fourth byte; making 8 MB a frame
  // opaque there would cost the event loop a pass over every pixel for nothing.
  bool alpha_reaches_screen() const {
    return QGuiApplication::platformName() != QLatin1String("xcb") || window_->format().hasAlpha();
  }

  static constexpr std::uint32_t kOpaque = 0xFF000000;

  std::shared_ptr<QtWindow> window_;  // outlives the backing store that refers to it
  QBackingStore store_;
  std::vector<std::uint32_t> staging_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool painting_ = false;
  bool presented_ = false;
};

class QtNativeWindow : public Window {
 public:
  QtNativeWindow(const QtNativeWindow&) = delete;
  QtNativeWindow& operator=(const QtNativeWindow&) = delete;
  explicit QtNativeWindow(std::shared_ptr<QtWindow> window) : w_(std::move(window)) {}
  ~QtNativeWindow() override {
    if (w_->grabbed) x11::ungrab_pointer();
    w_->hide();
  }

  QtWindow* qwindow() const { return w_.get(); }

  WindowId id() const override { return w_->id(); }
  Result<std::unique_ptr<Surface>> create_surface() override {
    return std::unique_ptr<Surface>(std::make_unique<QtSurface>(w_));
  }
  void set_title(const std::string& title) override { w_->setTitle(QString::fromStdString(title)); }
  std::optional<PhysicalPosition> inner_position() const override {
    return to_physical(w_->geometry().topLeft());
  }
  std::optional<PhysicalPosition> outer_position() const override {
    return to_physical(w_->framePosition());
  }
  void set_inner_position(PhysicalPosition p) override {
    const double dpr = w_->devicePixelRatio();
    w_->place_client_area(
        QPoint(saturate_round<std::int32_t>(p.x / dpr), saturate_round<std::int32_t>(p.y / dpr)));
  }
  PhysicalSize inner_size() const override {
    const double dpr = w_->devicePixelRatio();
    return {static_cast<std::uint32_t>(std::max(0L, std::lround(w_->width() * dpr))),
            static_cast<std::uint32_t>(std::max(0L, std::lround(w_->height() * dpr)))};
  }
  // Within the size limits, as the window manager would keep it.
  void request_inner_size(PhysicalSize size) override {
    const QSize s = to_qt(size).expandedTo(min_).boundedTo(max_);
    if (!resizable_) pin(s);
    w_->resize(s);
  }
  void set_min_inner_size(std::optional<PhysicalSize> size) override {
    min_ = size ? to_qt(*size) : QSize(0, 0);
    apply_limits();
  }
  void set_max_inner_size(std::optional<PhysicalSize> size) override {
    max_ = size ? to_qt(*size) : QSize(kQtMaxWindowSide, kQtMaxWindowSide);
    apply_limits();
  }
  void set_resize_increments(std::optional<PhysicalSize> size) override {
    w_->setSizeIncrement(size ? to_qt(*size) : QSize());
  }
  std::optional<NativeMonitor> current_monitor() const override {
    QScreen* screen = w_->screen();
    if (screen == nullptr) return std::nullopt;
    const double dpr = screen->devicePixelRatio();
    const QRect g = screen->geometry();
    return NativeMonitor{
        PhysicalPosition{saturate_round<std::int32_t>(g.x() * dpr),
                         saturate_round<std::int32_t>(g.y() * dpr)},
        PhysicalSize{static_cast<std::uint32_t>(std::max(0L, std::lround(g.width() * dpr))),
                     static_cast<std::uint32_t>(std::max(0L, std::lround(g.height() * dpr)))}};
  }
  void set_decorations(bool decorated) override { set_flag(Qt::FramelessWindowHint, !decorated); }
  void set_resizable(bool resizable) override {
    resizable_ = resizable;
    apply_limits();
  }
  void set_skip_taskbar(bool skip) override {
    skip_taskbar_ = skip;
    x11::set_net_wm_state(w_->winId(), "_NET_WM_STATE_SKIP_TASKBAR", skip);
  }
  void set_window_level(WindowLevel level) override {
    Qt::WindowFlags flags = w_->flags();
    flags.setFlag(Qt::WindowStaysOnTopHint, level == WindowLevel::AlwaysOnTop);
    flags.setFlag(Qt::WindowStaysOnBottomHint, level == WindowLevel::AlwaysOnBottom);
    if (flags != w_->flags()) w_->setFlags(flags);
  }
  void set_fullscreen(bool fullscreen) override { set_state(Qt::WindowFullScreen, fullscreen); }
  void set_maximized(bool maximized) override { set_state(Qt::WindowMaximized, maximized); }
  void set_minimized(bool minimized) override {
    if (minimized) {
      if (!w_->isExposed() && w_->isVisible()) {
        w_->minimize_when_exposed = true;
      } else {
        w_->showMinimized();
      }
      return;
    }
    // A pending minimise is simply dropped: the window was never minimised.
    if (std::exchange(w_->minimize_when_exposed, false)) return;
    if (w_->windowStates() & Qt::WindowMinimized) {
      set_state(Qt::WindowMinimized, false);
      if (w_->isVisible()) activate();
    }
  }
  std::optional<bool> is_minimized() const override {
    return w_->minimize_when_exposed || (w_->windowStates() & Qt::WindowMinimized) != 0;
  }
  bool is_visible() const override { return w_->isVisible(); }
  bool has_focus() const override { return w_->isActive(); }
  void focus_window() override {
    w_->raise();
    activate();
  }
  void request_user_attention(bool attention) override {
    if (attention && w_->isActive()) return;
    x11::set_net_wm_state(w_->winId(), "_NET_WM_STATE_DEMANDS_ATTENTION", attention);
  }
  Status set_cursor_grab(CursorGrabMode mode) override {
    if (mode == CursorGrabMode::None) {
      if (w_->grabbed) x11::ungrab_pointer();
      w_->grabbed = false;
      return {};
    }
    if (mode == CursorGrabMode::Locked) return fail("locking the cursor is not supported");
    if (!x11::available()) return fail("confining the cursor needs an X server");
    if (Status grabbed = x11::grab_pointer_confined(w_->winId()); !grabbed) return grabbed;
    w_->grabbed = true;
    return {};
  }
  Status drag_window() override {
    release_grab_for_drag();
    if (!w_->startSystemMove()) return fail("the window manager refused the move");
    return {};
  }
  Status drag_resize_window(ResizeDirection direction) override {
    release_grab_for_drag();
    Qt::Edges edges;
    switch (direction) {
      case ResizeDirection::East:
        edges = Qt::RightEdge;
        break;
      case ResizeDirection::North:
        edges = Qt::TopEdge;
        break;
      case ResizeDirection::NorthEast:
        edges = Qt::TopEdge | Qt::RightEdge;
        break;
      case ResizeDirection::NorthWest:
        edges = Qt::TopEdge | Qt::LeftEdge;
        break;
      case ResizeDirection::South:
        edges = Qt::BottomEdge;
        break;
      case ResizeDirection::SouthEast:
        edges = Qt::BottomEdge | Qt::RightEdge;
        break;
      case ResizeDirection::SouthWest:
        edges = Qt::BottomEdge | Qt::LeftEdge;
        break;
      case ResizeDirection::West:
        edges = Qt::LeftEdge;
        break;
    }
    if (!w_->startSystemResize(edges)) return fail("the window manager refused the resize");
    return {};
  }
  void set_input_enabled(bool enabled) override { w_->input_enabled = enabled; }
  Status set_custom_cursor(std::shared_ptr<const CustomCursor> cursor) override {
    if (!cursor) return fail("no cursor");
    if (cursor->width == 0 || cursor->height == 0 || cursor->width > kMaxCursorSide ||
        cursor->height > kMaxCursorSide)
      return fail("unsupported cursor size {}x{}", cursor->width, cursor->height);
    if (cursor->rgba.size() != std::uint64_t{cursor->width} * cursor->height * 4)
      return fail("cursor pixel data of {} bytes for {}x{}", cursor->rgba.size(), cursor->width,
                  cursor->height);
    QImage image(cursor->rgba.data(), static_cast<int>(cursor->width),
                 static_cast<int>(cursor->height), static_cast<qsizetype>(cursor->width) * 4,
                 QImage::Format_RGBA8888);
    double hx = std::min(cursor->hotspot_x, cursor->width - 1);
    double hy = std::min(cursor->hotspot_y, cursor->height - 1);
    // The X server takes a cursor image in one request; a larger one breaks the connection.
    const std::uint64_t pixels = std::uint64_t{cursor->width} * cursor->height;
    if (const std::uint64_t limit = max_request_pixels(); pixels > limit) {
      const double shrink = std::sqrt(static_cast<double>(limit) / static_cast<double>(pixels));
      const int w = std::max(1, static_cast<int>(std::floor(cursor->width * shrink)));
      const int h = std::max(1, static_cast<int>(std::floor(cursor->height * shrink)));
      hx = std::min(hx * w / cursor->width, w - 1.0);
      hy = std::min(hy * h / cursor->height, h - 1.0);
      image = image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    } else {
      image = image.copy();
    }
    w_->setCursor(QCursor(QPixmap::fromImage(image), static_cast<int>(hx), static_cast<int>(hy)));
    return {};
  }
  void set_default_cursor() override { w_->unsetCursor(); }
  Status set_window_icon(std::optional<WindowIcon> icon) override {
    if (!icon) {
      w_->setIcon(QIcon());
      return {};
    }
    if (icon->width == 0 || icon->height == 0 ||
        icon->rgba.size() != std::uint64_t{icon->width} * icon->height * 4 ||
        icon->width > static_cast<std::uint32_t>(kQtMaxWindowSide) ||
        icon->height > static_cast<std::uint32_t>(kQtMaxWindowSide))
      return fail("bad icon of {}x{} with {} bytes", icon->width, icon->height, icon->rgba.size());
    // The icon goes to the X server as one property request.
    const std::uint64_t bytes =
        std::uint64_t{icon->width} * icon->height * 4 + kIconSizeBytes + kRequestHeaderBytes;
    if (const std::uint64_t limit = x11::max_request_bytes(); limit != 0 && bytes > limit)
      return fail("a {}x{} icon needs a request of {} bytes, the display takes at most {}",
                  icon->width, icon->height, bytes, limit);
    QImage image(icon->rgba.data(), static_cast<int>(icon->width), static_cast<int>(icon->height),
                 static_cast<qsizetype>(icon->width) * 4, QImage::Format_RGBA8888);
    // QIcon owns the engine it is given.
    w_->setIcon(QIcon(new SinglePictureIconEngine(QPixmap::fromImage(image.copy()))));
    return {};
  }
  void request_redraw() override { w_->requestUpdate(); }

  // A menu never takes the keys from the window the user is in. It does not accept the focus,
  // so Qt would only warn here; without that flag it would hand it the X input focus.
  void activate() {
    if (w_->kind != WindowKind::OverrideRedirect) w_->requestActivate();
  }

  bool skip_taskbar_ = false;

 private:
  std::optional<PhysicalPosition> to_physical(QPoint p) const {
    const double dpr = w_->devicePixelRatio();
    return PhysicalPosition{saturate_round<std::int32_t>(p.x() * dpr),
                            saturate_round<std::int32_t>(p.y() * dpr)};
  }
  QSize to_qt(PhysicalSize s) const {
    const double dpr = w_->devicePixelRatio();
    return QSize(std::max(1, to_qt_side(static_cast<std::uint32_t>(std::lround(s.width / dpr)))),
                 std::max(1, to_qt_side(static_cast<std::uint32_t>(std::lround(s.height / dpr)))));
  }
  void set_flag(Qt::WindowType flag, bool on) {
    Qt::WindowFlags flags = w_->flags();
    flags.setFlag(flag, on);
    if (flags != w_->flags()) w_->setFlags(flags);
  }
  void set_state(Qt::WindowState state, bool on) {
    if (on) w_->forget_placement();
    Qt::WindowStates states = w_->windowStates();
    states.setFlag(state, on);
    if (states != w_->windowStates()) w_->setWindowStates(states);
  }
  // Equal limits are the size of a window that is not resizable; without them it keeps its
  // current size.
  void apply_limits() {
    if (resizable_) {
      w_->setMinimumSize(min_);
      w_->setMaximumSize(max_);
    } else {
      pin(min_ == max_ ? min_ : w_->size());
      if (min_ == max_ && w_->size() != min_) w_->resize(min_);
    }
  }
  void pin(QSize size) {
    w_->setMinimumSize(size);
    w_->setMaximumSize(size);
  }
  void release_grab_for_drag() {
    if (!w_->grabbed) return;
    x11::ungrab_pointer();
    w_->lose_grab();
  }

  std::shared_ptr<QtWindow> w_;
  QSize min_{0, 0};
  QSize max_{kQtMaxWindowSide, kQtMaxWindowSide};
  bool resizable_ = true;
};

}  // namespace

double screen_scale_factor(const QScreen* screen) {
  if (screen == nullptr) return 1.0;
  const double dpi = screen->logicalDotsPerInch();
  return dpi > 0 && std::isfinite(dpi) ? dpi / 96.0 : 1.0;
}

std::uint32_t modifier_bits_from_qt(Qt::KeyboardModifiers modifiers) {
  std::uint32_t bits = 0;
  if (modifiers & Qt::ShiftModifier) bits |= kModifierShift;
  if (modifiers & Qt::ControlModifier) bits |= kModifierControl;
  if (modifiers & Qt::AltModifier) bits |= kModifierAlt;
  if (modifiers & Qt::MetaModifier) bits |= kModifierSuper;
  return bits;
}

Result<std::shared_ptr<Window>> create_qt_window(const WindowAttributes& attributes,
                                                 WindowEventHandler handler) {
  if (qGuiApp == nullptr) return fail("no application object");
  auto qwindow = std::make_shared<QtWindow>(WindowId{next_window_id++}, std::move(handler));
  auto window = std::make_shared<QtNativeWindow>(qwindow);
  qwindow->kind = attributes.kind;
  Qt::WindowFlags flags = Qt::Window;
  // Fixed before the window is created: X reads override-redirect when the window is mapped,
  // and a window the manager has taken stays taken.
  if (attributes.kind == WindowKind::OverrideRedirect)
    flags |= Qt::BypassWindowManagerHint | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus;
  if (!attributes.decorations) flags |= Qt::FramelessWindowHint;
  if (attributes.level == WindowLevel::AlwaysOnTop) flags |= Qt::WindowStaysOnTopHint;
  if (attributes.level == WindowLevel::AlwaysOnBottom) flags |= Qt::WindowStaysOnBottomHint;
  qwindow->setFlags(flags);
  qwindow->setTitle(QString::fromStdString(attributes.title));
  if (attributes.inner_size) {
    const double dpr = qwindow->devicePixelRatio();
    qwindow->resize(std::max(1, to_qt_side(static_cast<std::uint32_t>(
                                    std::lround(attributes.inner_size->width / dpr)))),
                    std::max(1, to_qt_side(static_cast<std::uint32_t>(
                                    std::lround(attributes.inner_size->height / dpr)))));
  }
  if (attributes.position) window->set_inner_position(*attributes.position);
  if (auto* owner = dynamic_cast<QtNativeWindow*>(attributes.owner.get()))
    qwindow->setTransientParent(owner->qwindow());
  window->set_resizable(attributes.resizable);
  qwindow->create();
  if (qwindow->handle() == nullptr) return fail("the platform could not create the window");
  if (attributes.skip_taskbar) window->set_skip_taskbar(true);
  if (attributes.visible) {
    qwindow->show();
    if (attributes.active) window->activate();
  }
  // After show(): Qt clears WM_TRANSIENT_FOR when it maps a window of the plain Window type.
  if (auto* owner = dynamic_cast<QtNativeWindow*>(attributes.owner.get()))
    x11::set_transient_for(qwindow->winId(), owner->qwindow()->winId());
  return std::shared_ptr<Window>(std::move(window));
}

}  // namespace nolv
