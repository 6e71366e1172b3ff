#include "platform/qt/qt_platform.h"

#include "platform/clipboard.h"
#include "platform/pulse/pulse_output.h"
#include "platform/qt/qt_tray.h"
#include "platform/qt/qt_window.h"
#include "platform/qt/x_bell.h"
#include "platform/qt/x_clipboard.h"
#include "platform/tray.h"
#include "util/log.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QScreen>

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace nolv {

namespace {

const QEvent::Type kPacketEventType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kResumedEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Qt's event queue hands a posted event to the loop under a lock of its own (a futex), which the
// thread checker cannot see; the hand-over is told to it, so that the packets inside are not
// taken for a race. Nothing in other builds.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
void handing_over(void* address) {
  __tsan_release(address);
}
void taking_over(void* address) {
  __tsan_acquire(address);
}
#else
void handing_over(void*) {}
void taking_over(void*) {}
#endif

// One or more packets in the order they were posted: one wake-up of the loop for all of them.
class PacketEvent : public QEvent {
 public:
  explicit PacketEvent(std::vector<Packet> p) : QEvent(kPacketEventType), packets(std::move(p)) {
    handing_over(this);
  }
  std::vector<Packet> packets;
};

class QtActiveLoop : public ActiveEventLoop {
 public:
  std::vector<Monitor> monitors() const override {
    std::vector<Monitor> out;
    const QScreen* primary = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
      Monitor m;
      m.name = screen->name().toStdString();
      const QRect g = screen->geometry();
      m.x = g.x();
      m.y = g.y();
      m.width = static_cast<std::uint32_t>(std::max(0, g.width()));
      m.height = static_cast<std::uint32_t>(std::max(0, g.height()));
      const double hz = screen->refreshRate();
      if (hz > 0 && std::isfinite(hz) && hz * 1000 < 4294967295.0) {
        m.refresh_rate_millihertz = static_cast<std::uint32_t>(std::lround(hz * 1000));
      }
      m.primary = screen == primary;
      out.push_back(std::move(m));
    }
    return out;
  }
  double primary_scale_factor() const override {
    return screen_scale_factor(QGuiApplication::primaryScreen());
  }
  void exit() override {
    exiting = true;
    QCoreApplication::exit(0);
  }
  Result<std::shared_ptr<Window>> create_window(const WindowAttributes& attributes) override {
    return create_qt_window(attributes, deliver_window_event);
  }
  bool exiting = false;
};

class Receiver;

// Shared with every proxy: posting stops once the loop has ended.
class QtSink : public EventSink {
 public:
  bool post(Packet packet) override {
    std::vector<Packet> one;
    one.push_back(std::move(packet));
    return post_batch(std::move(one));
  }
  bool post_batch(std::vector<Packet> packets) override {
    std::lock_guard lock(mutex_);
    if (receiver_ == nullptr) return false;
    QCoreApplication::postEvent(receiver_, new PacketEvent(std::move(packets)));
    return true;
  }
  void attach(QObject* receiver) {
    std::lock_guard lock(mutex_);
    receiver_ = receiver;
  }
  void close() { attach(nullptr); }

 private:
  std::mutex mutex_;
  QObject* receiver_ = nullptr;
};

struct Running {
  EventLoopHandler* handler = nullptr;
  QtActiveLoop* active = nullptr;
};
// The loop that runs now, for deliver_window_event; event-loop thread only.
Running running;

class Receiver : public QObject {
 public:
  bool event(QEvent* e) override {
    taking_over(e);
    if (e->type() == kPacketEventType) {
      auto* pe = static_cast<PacketEvent*>(e);
      for (Packet& packet : pe->packets) {
        if (running.handler == nullptr || running.active->exiting) break;
        running.handler->user_event(*running.active, std::move(packet));
      }
      return true;
    }
    if (e->type() == kResumedEventType) {
      if (running.handler != nullptr && !running.active->exiting) {
        running.handler->resumed(*running.active);
      }
      return true;
    }
    return QObject::event(e);
  }
};

class QtEventLoop : public EventLoop {
 public:
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;
  QtEventLoop(int& argc, char** argv)
      : receiver_(std::make_unique<Receiver>()), sink_(std::make_shared<QtSink>()) {
    // One application object per process: an existing one (tests) is used as it is.
    if (QCoreApplication::instance() == nullptr) app_ = std::make_unique<QApplication>(argc, argv);
    QGuiApplication::setQuitOnLastWindowClosed(false);
    sink_->attach(receiver_.get());
    // The desktop services live on this thread and are handed to the client logic from here.
    // The clipboard goes past Qt, over an X connection of the clipboard thread's own.
    if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
      clipboard_ = std::make_shared<XClipboard>();
    }
    tray_ = std::make_shared<QtTrayPlatform>();
    // Resumed goes first, ahead of anything posted before the loop runs.
    QCoreApplication::postEvent(receiver_.get(), new QEvent(kResumedEventType),
                                Qt::HighEventPriority);
  }
  ~QtEventLoop() override {
    sink_->close();
    QCoreApplication::removePostedEvents(receiver_.get());
  }

  EventLoopProxy create_proxy() override { return EventLoopProxy(sink_); }
  std::shared_ptr<TrayPlatform> tray() override { return tray_; }
  std::shared_ptr<ClipboardAccess> clipboard() override { return clipboard_; }

  Status run(EventLoopHandler& handler) override {
    QtActiveLoop active;
    running = Running{&handler, &active};
    const int status = QCoreApplication::exec();
    running = Running{};
    sink_->close();
    if (status != 0) return fail("the event loop exited with status {}", status);
    return {};
  }

 private:
  std::unique_ptr<QApplication> app_;  // declared first: outlives the receiver
  std::unique_ptr<Receiver> receiver_;
  std::shared_ptr<QtSink> sink_;
  std::shared_ptr<XClipboard> clipboard_;
  std::shared_ptr<QtTrayPlatform> tray_;
};

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

bool wayland_session() {
  return !env("WAYLAND_DISPLAY").empty() || env("XDG_SESSION_TYPE") == "wayland";
}

// What a Wayland session lacks when no X server answers.
constexpr std::string_view kWaylandHint =
    " (this is a Wayland session: nolv runs on X11, through XWayland; install xwayland and "
    "let the compositor start it, or set QT_QPA_PLATFORM to choose another platform)";

// Qt ends the process when it cannot reach the display; find out first.
Status check_display(bool platform_chosen) {
  if (platform_chosen && !env("QT_QPA_PLATFORM").starts_with("xcb")) return {};
  const std::string_view hint = wayland_session() ? kWaylandHint : "";
  const std::string display = env("DISPLAY");
  if (display.empty()) return fail("no X display: DISPLAY is not set{}", hint);
  if (!x_display_reachable()) return fail("cannot open X display {}{}", display, hint);
  return {};
}

}  // namespace

Result<std::unique_ptr<EventLoop>> QtPlatform::create_event_loop() {
  // The platform layer (pointer grab, clipboard, keyboard layout, bell) speaks X11, so unless
  // the user chose a platform the client runs on X11: in a Wayland session, on XWayland.
  const bool platform_chosen = !env("QT_QPA_PLATFORM").empty();
  if (Status display = check_display(platform_chosen); !display) return display.error();
  if (!platform_chosen) {
    log_debug("nolv", "running on X11, display {}{}", env("DISPLAY"),
              wayland_session() ? " (XWayland in a Wayland session)" : "");
  }
  // The client scales by itself; Qt must report and draw device pixels, so its own scaling is
  // off while the application object reads the environment. Programs we start (ssh, pinentry)
  // still get the desktop's settings.
  std::vector<std::pair<const char*, std::optional<QByteArray>>> saved;
  for (const char* name : {"QT_ENABLE_HIGHDPI_SCALING", "QT_SCALE_FACTOR",
                           "QT_SCREEN_SCALE_FACTORS", "QT_AUTO_SCREEN_SCALE_FACTOR"}) {
    saved.emplace_back(name, qEnvironmentVariableIsSet(name)
                                 ? std::optional<QByteArray>(qgetenv(name))
                                 : std::nullopt);
    qunsetenv(name);
  }
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  if (!platform_chosen) {
    saved.emplace_back("QT_QPA_PLATFORM", std::nullopt);
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  // A redraw runs once the events at hand are handled instead of after the toolkit's default
  // 5 ms: a draw is answered only once it is shown, and that wait would hold back every answer
  // and with it the server's next draw. Draws that arrive together still share one present.
  // Qt reads the setting at the first redraw, so it stays set.
  if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
    qputenv("QT_QPA_UPDATE_IDLE_TIME", "0");
  std::unique_ptr<EventLoop> loop = std::make_unique<QtEventLoop>(argc_, argv_);
  for (const auto& [name, value] : saved) {
    if (value) {
      qputenv(name, *value);
    } else {
      qunsetenv(name);
    }
  }
  return loop;
}

std::shared_ptr<AudioOutputFactory> QtPlatform::audio_outputs() {
  return std::make_shared<PulseOutputFactory>();
}

std::shared_ptr<Bell> QtPlatform::bell() {
  return make_system_bell();
}

std::optional<std::string> QtPlatform::keyboard_layout() {
  return x_keyboard_layout();
}

void deliver_window_event(WindowId window, WindowEvent event) {
  if (running.handler == nullptr || running.active->exiting) return;
  running.handler->window_event(*running.active, window, std::move(event));
}

}  // namespace nolv
