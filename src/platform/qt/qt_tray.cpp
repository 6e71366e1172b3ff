#include "platform/qt/qt_tray.h"

#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>
#include <QSystemTrayIcon>

namespace nolv {
namespace {

// Whether Qt's tray goes through D-Bus (StatusNotifierItem) rather than XEmbed: Qt decides
// that once, by the watcher on the session bus, and so does this.
bool dbus_tray_in_use() {
  static const bool in_use = [] {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    return bus.interface()
        ->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"))
        .value();
  }();
  return in_use;
}

QString from_utf16(const std::u16string& s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

// A white "n" on a rounded teal tile, with a lighter band along the top like a title bar.
QImage draw_icon(int side) {
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  if (image.isNull()) return image;
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = side;
  const QRectF tile(s * 0.03, s * 0.03, s * 0.94, s * 0.94);
  QPainterPath rounded;
  rounded.addRoundedRect(tile, s * 0.18, s * 0.18);
  p.fillPath(rounded, QColor(0x1F, 0x6F, 0x8B));
  p.save();
  p.setClipPath(rounded);
  p.fillRect(QRectF(tile.left(), tile.top(), tile.width(), s * 0.2), QColor(0x4F, 0xB3, 0xC9));
  p.restore();
  QPainterPath n;
  n.moveTo(s * 0.30, s * 0.80);
  n.lineTo(s * 0.30, s * 0.40);
  n.moveTo(s * 0.30, s * 0.56);
  n.cubicTo(s * 0.30, s * 0.34, s * 0.70, s * 0.34, s * 0.70, s * 0.56);
  n.lineTo(s * 0.70, s * 0.80);
  QPen pen(Qt::white, std::max(1.5, s * 0.13), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.strokePath(n, pen);
  p.end();
  return image;
}

class QtTrayIcon : public TrayIconBackend {
 public:
  QtTrayIcon(TrayIconSpec spec, const QIcon& icon, bool dbus)
      : menu_(std::make_unique<QMenu>()),
        tray_(std::make_unique<QSystemTrayIcon>(icon)),
        icon_(icon),
        on_exit_(std::move(spec.on_exit)),
        dbus_(dbus) {
    QAction* title = menu_->addAction(from_utf16(spec.menu_title));
    title->setEnabled(false);
    menu_->addSeparator();
    QAction* exit = menu_->addAction(QStringLiteral("Exit"));
    QObject::connect(exit, &QAction::triggered, menu_.get(), [this] {
      if (on_exit_) on_exit_();
    });
    tray_->setToolTip(from_utf16(spec.tooltip));
    // A right click (and the host's context-menu request) opens the context menu through Qt;
    // a left click opens the same menu here.
    tray_->setContextMenu(menu_.get());
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, menu_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
                     });
    tray_->show();
  }

  ~QtTrayIcon() override {
    tray_->hide();
    tray_.reset();  // before the menu it refers to
  }

  bool show_balloon(const std::u16string& title, const std::u16string& text) override {
    if (!tray_->isVisible() || !QSystemTrayIcon::supportsMessages()) return false;
    tray_->showMessage(from_utf16(title), from_utf16(text), icon_, kBalloonMillis);
    return true;
  }

  void withdraw_balloon() override {
    // Qt's own balloon goes away on an empty message; a freedesktop notification sent by Qt
    // cannot be closed through it, and an empty message would show an empty notification.
    if (!dbus_) tray_->showMessage(QString(), QString(), QIcon(), 0);
  }

 private:
  static constexpr int kBalloonMillis = 10000;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  QIcon icon_;
  std::function<void()> on_exit_;
  bool dbus_;
};

}  // namespace

QIcon nolv_icon() {
  QIcon icon;
  for (int side : {16, 22, 24, 32, 48, 64, 128}) {
    QImage image = draw_icon(side);
    if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

Result<AddedTrayIcon> QtTrayPlatform::add_tray_icon(TrayIconSpec spec) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    return fail("no application object for the tray");
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return fail("no system tray host is running");
  AddedTrayIcon added;
  QIcon icon = nolv_icon();
  if (icon.isNull()) {
    icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    added.used_fallback_icon = true;
  }
  added.icon = std::make_unique<QtTrayIcon>(std::move(spec), icon, dbus_tray_in_use());
  return added;
}

}  // namespace nolv
