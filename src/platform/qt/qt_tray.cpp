#include "platform/qt/qt_tray.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>
#include <QSystemTrayIcon>

#include "util/log.h"

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

constexpr int kBalloonMillis = 10000;

// Balloons through the freedesktop notification service, sent here rather than through Qt so
// that a notification keeps its id and can be closed by it, carries the program's icon, and
// shows its texts as plain text. No call waits: the answers arrive on the event loop later.
class DesktopNotifications {
 public:
  explicit DesktopNotifications(const QIcon& icon) : icon_hint_(icon_data(icon)) {}

  // One balloon at a time, as under an XEmbed tray: a new one replaces the one shown (its id
  // goes as replaces_id), so a call waits for the answer before it, and only the newest of the
  // balloons that came meanwhile is sent.
  void show(const QString& title, const QString& text) {
    pending_ = Balloon{title, text};
    withdraw_wanted_ = false;
    pump();
  }

  void withdraw() {
    pending_.reset();
    if (busy_) {
      withdraw_wanted_ = true;  // the shown one's id may still be on the way
      return;
    }
    close_shown();
  }

 private:
  struct Balloon {
    QString title;
    QString text;
  };

  static QDBusConnection bus() { return QDBusConnection::sessionBus(); }

  static QDBusMessage method(const QString& name) {
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                          QStringLiteral("/org/freedesktop/Notifications"),
                                          QStringLiteral("org.freedesktop.Notifications"), name);
  }

  // The "image-data" hint: width, height, row stride, alpha, bits per sample, channels, RGBA.
  static QVariant icon_data(const QIcon& icon) {
    const QImage image =
        icon.pixmap(QSize(48, 48)).toImage().convertToFormat(QImage::Format_RGBA8888);
    if (image.isNull()) return {};
    QDBusArgument data;
    data.beginStructure();
    data << image.width() << image.height() << static_cast<int>(image.bytesPerLine()) << true << 8
         << 4
         << QByteArray(reinterpret_cast<const char*>(image.constBits()),
                       static_cast<qsizetype>(image.sizeInBytes()));
    data.endStructure();
    return QVariant::fromValue(data);
  }

  // With body markup the service would read "<b>" or "x < y & z" as markup.
  QString body_text(const QString& text) const {
    return body_markup_.value_or(false) ? text.toHtmlEscaped() : text;
  }

  void pump() {
    if (busy_ || !pending_.has_value()) return;
    busy_ = true;
    if (!body_markup_.has_value()) {
      watch(bus().asyncCall(method(QStringLiteral("GetCapabilities"))),
            [this](QDBusPendingCallWatcher* call) {
              QDBusPendingReply<QStringList> reply = *call;
              body_markup_ =
                  !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
              answered();
            });
      return;
    }
    const Balloon balloon = std::move(*pending_);
    pending_.reset();
    QVariantMap hints;
    if (icon_hint_.isValid()) hints.insert(QStringLiteral("image-data"), icon_hint_);
    QDBusMessage notify = method(QStringLiteral("Notify"));
    notify << QStringLiteral("nolv") << shown_id_.value_or(0u) << QString() << balloon.title
           << body_text(balloon.text) << QStringList() << hints << kBalloonMillis;
    watch(bus().asyncCall(notify), [this](QDBusPendingCallWatcher* call) {
      QDBusPendingReply<uint> reply = *call;
      if (reply.isError()) {
        log_warn("nolv::client::tray", "the notification service refused a notification: {}",
                 reply.error().message().toStdString());
      } else {
        shown_id_ = reply.value();
      }
      answered();
    });
  }

  void answered() {
    busy_ = false;
    if (std::exchange(withdraw_wanted_, false)) close_shown();
    pump();
  }

  void close_shown() {
    if (!shown_id_.has_value()) return;
    QDBusMessage close = method(QStringLiteral("CloseNotification"));
    close << *shown_id_;
    shown_id_.reset();
    (void)bus().asyncCall(close);
  }

  template <class Done>
  void watch(const QDBusPendingCall& call, Done done) {
    auto* watcher = new QDBusPendingCallWatcher(call, &owner_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner_,
                     [done](QDBusPendingCallWatcher* w) {
                       done(w);
                       w->deleteLater();
                     });
  }

  QObject owner_;  // answers arriving after the icon is gone go nowhere
  QVariant icon_hint_;
  std::optional<bool> body_markup_;
  // A call to the service is on its way; its answer sends what waits.
  bool busy_ = false;
  std::optional<Balloon> pending_;
  std::optional<uint> shown_id_;
  bool withdraw_wanted_ = false;
};

class QtTrayIcon : public TrayIconBackend {
 public:
  QtTrayIcon(const QtTrayIcon&) = delete;
  QtTrayIcon& operator=(const QtTrayIcon&) = delete;
  QtTrayIcon(TrayIconSpec spec, const QIcon& icon, bool dbus)
      : menu_(std::make_unique<QMenu>()),
        tray_(std::make_unique<QSystemTrayIcon>(icon)),
        icon_(icon),
        on_exit_(std::move(spec.on_exit)) {
    if (dbus) notifications_.emplace(icon);
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
    if (!tray_->isVisible()) return false;
    if (notifications_.has_value()) {
      notifications_->show(from_utf16(title), from_utf16(text));
      return true;
    }
    if (!QSystemTrayIcon::supportsMessages()) return false;
    tray_->showMessage(from_utf16(title), from_utf16(text), icon_, kBalloonMillis);
    return true;
  }

  void withdraw_balloon() override {
    if (notifications_.has_value()) {
      notifications_->withdraw();
      return;
    }
    // Qt's own balloon goes away on an empty message.
    tray_->showMessage(QString(), QString(), QIcon(), 0);
  }

 private:
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  QIcon icon_;
  std::function<void()> on_exit_;
  std::optional<DesktopNotifications> notifications_;
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
