#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QWindow>

#include "platform/qt/qt_keys.h"
#include "platform/qt/qt_window.h"
#include "platform/qt_application.h"

namespace nolv {
namespace {

void app() {
  ensure_qt_application();
}

TEST(QtLogicalKey, FromKeyAndText) {
  struct Case {
    int key;
    QString text;
    Qt::KeyboardModifiers mods;
    LogicalKey expected;
  };
  const std::vector<Case> cases = {
      {Qt::Key_A, "a", {}, CharacterKey{"a"}},
      {Qt::Key_A, "A", Qt::ShiftModifier, CharacterKey{"A"}},
      {Qt::Key_A, QString(QChar(1)), Qt::ControlModifier, CharacterKey{"a"}},
      {Qt::Key_Eacute, QString::fromUtf8("é"), {}, CharacterKey{"é"}},
      {Qt::Key_Return, "\r", {}, NamedKey::Enter},
      {Qt::Key_Enter, "\r", {}, NamedKey::Enter},
      {Qt::Key_Space, " ", {}, NamedKey::Space},
      {Qt::Key_F5, "", {}, NamedKey::F5},
      {Qt::Key_Shift, "", Qt::ShiftModifier, NamedKey::Shift},
      {Qt::Key_Super_L, "", {}, NamedKey::Super},
      {Qt::Key_PageDown, "", {}, NamedKey::PageDown},
      {Qt::Key_VolumeUp, "", {}, NamedKey::Other},
      {Qt::Key_Dead_Circumflex, "", {}, DeadKey{U'^'}},
      {Qt::Key_Dead_Diaeresis, "", {}, DeadKey{U'\u00A8'}},
      {Qt::Key_Dead_Hook, "", {}, DeadKey{std::nullopt}},
      {Qt::Key_unknown, "", {}, UnidentifiedKey{}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(to_string(logical_key_from_qt(c.key, 0, c.text, c.mods)), to_string(c.expected))
        << c.key;
}

TEST(QtLogicalKey, ModifierBits) {
  EXPECT_EQ(modifier_bits_from_qt(Qt::ShiftModifier | Qt::AltModifier),
            kModifierShift | kModifierAlt);
  EXPECT_EQ(modifier_bits_from_qt(Qt::ControlModifier | Qt::MetaModifier),
            kModifierControl | kModifierSuper);
}

TEST(QtWindow, SurfaceAgeAndDeferredEvents) {
  app();
  std::vector<WindowEvent> events;
  WindowAttributes attrs;
  attrs.title = "surface";
  attrs.inner_size = PhysicalSize{40, 30};
  auto window = create_qt_window(attrs, [&](WindowId, WindowEvent e) { events.push_back(e); });
  ASSERT_TRUE(window.ok()) << window.message();
  EXPECT_EQ((*window)->inner_size(), (PhysicalSize{40, 30}));
  // Nothing is delivered from inside the window operations themselves.
  EXPECT_TRUE(events.empty());

  auto surface = (*window)->create_surface();
  ASSERT_TRUE(surface.ok());
  ASSERT_TRUE((*surface)->resize(40, 30).ok());
  auto first = (*surface)->buffer();
  ASSERT_TRUE(first.ok()) << first.message();
  EXPECT_EQ(first->width, 40U);
  EXPECT_EQ(first->height, 30U);
  EXPECT_EQ(first->age, 0);
  first->pixels[0] = 0x00FF0000;
  ASSERT_TRUE((*surface)->present().ok());
  auto second = (*surface)->buffer();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->age, 1);
  EXPECT_EQ(second->pixels[0] & 0xFFFFFF, 0xFF0000U);  // the store kept the last frame
  const Rect damage{0, 0, 4, 4};
  ASSERT_TRUE((*surface)->present_with_damage(std::span(&damage, 1)).ok());
  ASSERT_TRUE((*surface)->resize(20, 10).ok());
  auto resized = (*surface)->buffer();
  ASSERT_TRUE(resized.ok());
  EXPECT_EQ(resized->age, 0);
  ASSERT_TRUE((*surface)->present().ok());

  (*window)->request_redraw();
  for (int i = 0; i < 50 && events.empty(); ++i) QCoreApplication::processEvents();
  ASSERT_FALSE(events.empty());
  bool redraw = false;
  for (const auto& e : events) redraw |= std::holds_alternative<RedrawRequested>(e);
  EXPECT_TRUE(redraw);
}

TEST(QtWindow, RefusesOversizedCursors) {
  app();
  auto window = create_qt_window({}, {});
  ASSERT_TRUE(window.ok());
  auto big = std::make_shared<CustomCursor>();
  big->width = kMaxCursorSide + 1;
  big->height = 1;
  big->rgba.assign(std::size_t{big->width} * 4, 0xFF);
  EXPECT_FALSE((*window)->set_custom_cursor(big).ok());
  auto ok = std::make_shared<CustomCursor>();
  ok->width = kMaxCursorSide;
  ok->height = 2;
  ok->rgba.assign(std::size_t{ok->width} * 2 * 4, 0x80);
  EXPECT_TRUE((*window)->set_custom_cursor(ok).ok());
  auto short_data = std::make_shared<CustomCursor>(*ok);
  short_data->rgba.pop_back();
  EXPECT_FALSE((*window)->set_custom_cursor(short_data).ok());
}

// A window of the layer and the QWindow behind it (null when either could not be made).
struct CreatedWindow {
  std::shared_ptr<Window> window;
  QWindow* q = nullptr;
};

CreatedWindow create_window_and_find_it() {
  app();
  const QWindowList before = QGuiApplication::topLevelWindows();
  auto window = create_qt_window({}, {});
  if (!window.ok()) return {};
  for (QWindow* w : QGuiApplication::topLevelWindows())
    if (!before.contains(w)) return {*window, w};
  return {};
}

TEST(QtWindow, CustomCursorIsAPixmapCursorWithItsHotspot) {
  auto [window, q] = create_window_and_find_it();
  ASSERT_NE(q, nullptr);
  auto cursor = std::make_shared<CustomCursor>();
  cursor->width = 3;
  cursor->height = 2;
  cursor->hotspot_x = 2;
  cursor->hotspot_y = 1;
  for (std::uint32_t i = 0; i < 6; ++i) {
    const auto v = static_cast<std::uint8_t>(i * 40);
    cursor->rgba.insert(cursor->rgba.end(), {v, 0x11, 0x22, 0xFF});
  }
  ASSERT_TRUE(window->set_custom_cursor(cursor).ok());
  const QCursor shown = q->cursor();
  EXPECT_EQ(shown.shape(), Qt::BitmapCursor);
  EXPECT_EQ(shown.hotSpot(), QPoint(2, 1));
  const QImage image = shown.pixmap().toImage().convertToFormat(QImage::Format_RGBA8888);
  ASSERT_EQ(image.size(), QSize(3, 2));
  EXPECT_EQ(image.pixelColor(1, 0), QColor(40, 0x11, 0x22, 0xFF));  // straight RGBA, row-major
  EXPECT_EQ(image.pixelColor(0, 1), QColor(120, 0x11, 0x22, 0xFF));
  window->set_default_cursor();
  EXPECT_EQ(q->cursor().shape(), Qt::ArrowCursor);
}

TEST(QtWindow, WindowIconFromRgba) {
  auto [window, q] = create_window_and_find_it();
  ASSERT_NE(q, nullptr);
  WindowIcon icon{2, 2, {}};
  for (int i = 0; i < 4; ++i) icon.rgba.insert(icon.rgba.end(), {0x10, 0x20, 0x30, 0xFF});
  icon.rgba[4] = 0xF0;  // pixel (1, 0)
  ASSERT_TRUE(window->set_window_icon(icon).ok());
  ASSERT_FALSE(q->icon().isNull());
  const QImage image =
      q->icon().pixmap(QSize(2, 2)).toImage().convertToFormat(QImage::Format_RGBA8888);
  ASSERT_EQ(image.size(), QSize(2, 2));
  EXPECT_EQ(image.pixelColor(1, 0), QColor(0xF0, 0x20, 0x30, 0xFF));
  EXPECT_EQ(image.pixelColor(0, 1), QColor(0x10, 0x20, 0x30, 0xFF));
  WindowIcon bad{2, 2, std::vector<std::uint8_t>(15, 0)};
  EXPECT_FALSE(window->set_window_icon(bad).ok());
  ASSERT_TRUE(window->set_window_icon(std::nullopt).ok());
  EXPECT_TRUE(q->icon().isNull());
}

}  // namespace
}  // namespace nolv
