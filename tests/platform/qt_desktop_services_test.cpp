// The Qt tray under QT_QPA_PLATFORM=offscreen: its artwork and its failure without a tray host.
#include <gtest/gtest.h>

#include <QImage>

#include "platform/qt/qt_platform.h"
#include "platform/qt/qt_tray.h"
#include "platform/tray.h"

namespace nolv {
namespace {

std::unique_ptr<EventLoop> make_loop() {
  static char name[] = "nolv";
  static char* argv[] = {name, nullptr};
  QtPlatform platform(1, argv);
  auto loop = platform.create_event_loop();
  EXPECT_TRUE(loop) << loop.message();
  return std::move(loop).value();
}

TEST(QtTray, TheLoopHandsOutItsOneTray) {
  auto loop = make_loop();
  auto tray = loop->tray();
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(loop->tray(), tray);
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
  auto tray = loop->tray();
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
