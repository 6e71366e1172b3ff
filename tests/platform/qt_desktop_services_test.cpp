// The Qt clipboard and tray under QT_QPA_PLATFORM=offscreen: the clipboard reached from another
// thread through the loop, giving up on stop and when the loop has ended; the tray's artwork
// and its failure without a tray host.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <chrono>
#include <stop_token>
#include <thread>

#include "client/internal_event.h"
#include "platform/clipboard.h"
#include "platform/qt/qt_clipboard.h"
#include "platform/qt/qt_platform.h"
#include "platform/qt/qt_tray.h"
#include "platform/tray.h"

namespace nolv {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<EventLoop> make_loop() {
  static char name[] = "nolv";
  static char* argv[] = {name, nullptr};
  QtPlatform platform(1, argv);
  auto loop = platform.create_event_loop();
  EXPECT_TRUE(loop) << loop.message();
  return std::move(loop).value();
}

// Runs `body` on a thread of its own once the loop runs, then ends the loop.
class ThreadRunner : public EventLoopHandler {
 public:
  ThreadRunner(EventLoopProxy proxy, std::function<void()> body)
      : proxy_(std::move(proxy)), body_(std::move(body)) {}
  void resumed(ActiveEventLoop&) override {
    worker_ = std::jthread([this] {
      body_();
      (void)proxy_.send_event(make_internal_event("exit", ""));
    });
  }
  void user_event(ActiveEventLoop& loop, Packet packet) override {
    if (packet_get_str(packet.items, 0) == "exit") loop.exit();
  }
  void window_event(ActiveEventLoop&, WindowId, WindowEvent) override {}
  void join() {
    if (worker_.joinable()) worker_.join();
  }

 private:
  EventLoopProxy proxy_;
  std::function<void()> body_;
  std::jthread worker_;
};

TEST(QtClipboard, TextRoundTripFromAnotherThreadThroughTheLoop) {
  auto loop = make_loop();
  std::shared_ptr<ClipboardAccess> access = installed_clipboard_access();
  ASSERT_NE(access, nullptr);
  ASSERT_NE(installed_tray_platform(), nullptr);
  const std::string text = "héllo ✓ 日本\nline two";
  Status written;
  Result<std::string> read = fail("not read");
  Result<std::string> image_read = std::string();
  std::thread::id loop_thread = std::this_thread::get_id();
  ThreadRunner runner(loop->create_proxy(), [&] {
    std::stop_source stop;
    written = access->write_text(text, stop.get_token());
    read = access->read_text(stop.get_token());
    // An image is not text.
    auto image = std::static_pointer_cast<QtClipboard>(access)->call_on_loop(
        [&] {
          EXPECT_EQ(std::this_thread::get_id(), loop_thread);
          QImage picture(4, 4, QImage::Format_RGB32);
          picture.fill(Qt::red);
          QGuiApplication::clipboard()->setImage(picture);
          return Result<std::string>(std::string());
        },
        stop.get_token());
    EXPECT_TRUE(image);
    image_read = access->read_text(stop.get_token());
  });
  ASSERT_TRUE(loop->run(runner));
  runner.join();
  ASSERT_TRUE(written) << written.message();
  ASSERT_TRUE(read) << read.message();
  EXPECT_EQ(*read, text);
  EXPECT_FALSE(image_read);
  EXPECT_EQ(image_read.message(), "the clipboard holds no text");
}

TEST(QtClipboard, OnTheLoopThreadTheCallRunsAtOnce) {
  auto loop = make_loop();
  auto access = installed_clipboard_access();
  ASSERT_NE(access, nullptr);
  std::stop_source stop;
  ASSERT_TRUE(access->write_text("same thread", stop.get_token()));
  auto read = access->read_text(stop.get_token());
  ASSERT_TRUE(read) << read.message();
  EXPECT_EQ(*read, "same thread");
}

TEST(QtClipboard, AWaitingCallGivesUpWhenStopIsRequested) {
  auto loop = make_loop();  // the loop exists but does not run: the call is never served
  auto access = installed_clipboard_access();
  ASSERT_NE(access, nullptr);
  std::stop_source stop;
  Result<std::string> read = std::string("unset");
  const auto started = std::chrono::steady_clock::now();
  std::jthread waiter([&] { read = access->read_text(stop.get_token()); });
  std::this_thread::sleep_for(100ms);
  stop.request_stop();
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.message(), "the clipboard thread is stopping");
  // A stop already requested fails at once.
  Status late;
  std::thread([&] { late = access->write_text("x", stop.get_token()); }).join();
  EXPECT_FALSE(late);
}

TEST(QtClipboard, CallsFailOnceTheLoopHasEnded) {
  auto loop = make_loop();
  auto access = std::static_pointer_cast<QtClipboard>(installed_clipboard_access());
  ASSERT_NE(access, nullptr);
  std::stop_source stop;
  Result<std::string> waiting = std::string("unset");
  std::jthread waiter([&] { waiting = access->read_text(stop.get_token()); });
  std::this_thread::sleep_for(100ms);
  access->detach();
  waiter.join();
  ASSERT_FALSE(waiting);
  EXPECT_EQ(waiting.message(), "the event loop has ended");
  Result<std::string> later = std::string("unset");
  std::thread([&] { later = access->read_text(stop.get_token()); }).join();
  ASSERT_FALSE(later);
  EXPECT_EQ(later.message(), "the event loop has ended");
}

TEST(QtClipboard, AfterTheLoopRanTheClipboardThreadIsNotKeptWaiting) {
  auto loop = make_loop();
  auto access = installed_clipboard_access();
  ThreadRunner runner(loop->create_proxy(), [] {});
  ASSERT_TRUE(loop->run(runner));
  runner.join();
  std::stop_source stop;
  Result<std::string> read = std::string("unset");
  std::thread([&] { read = access->read_text(stop.get_token()); }).join();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.message(), "the event loop has ended");
  // Dropping the loop takes its services away.
  loop.reset();
  EXPECT_EQ(installed_clipboard_access(), nullptr);
  EXPECT_EQ(installed_tray_platform(), nullptr);
}

TEST(QtTray, TheArtworkHasTheTraySizes) {
  auto loop = make_loop();
  const QIcon icon = nolv_icon();
  ASSERT_FALSE(icon.isNull());
  for (int side : {16, 22, 24, 32, 48, 64}) {
    const QSize size = icon.actualSize(QSize(side, side));
    EXPECT_EQ(size, QSize(side, side));
  }
  // Not a blank picture: the tile's colour in the middle of the left edge, white in the stroke.
  const QImage image = icon.pixmap(QSize(64, 64)).toImage();
  EXPECT_EQ(image.pixelColor(4, 40).rgb() & 0xFFFFFF, 0x1F6F8Bu);
  EXPECT_EQ(image.pixelColor(19, 45).rgb() & 0xFFFFFF, 0xFFFFFFu);
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
}

TEST(QtTray, WithoutATrayHostAddingFailsWithTheReason) {
  auto loop = make_loop();
  auto tray = installed_tray_platform();
  ASSERT_NE(tray, nullptr);
  bool exited = false;
  TrayIconSpec spec{u"Nolv - x", u"nolv @ x", [&] { exited = true; }};
  Result<AddedTrayIcon> added = tray->add_tray_icon(std::move(spec));
  ASSERT_FALSE(added);  // the offscreen platform has no tray
  EXPECT_FALSE(added.message().empty());
  EXPECT_FALSE(exited);
}

}  // namespace
}  // namespace nolv
