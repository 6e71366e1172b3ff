// The notification-area icon over QSystemTrayIcon: the program's own artwork, a QMenu with the
// disabled title, a separator and "Exit", and balloons through showMessage (a freedesktop
// notification under a StatusNotifierItem host, Qt's own balloon under an XEmbed one).
#pragma once

#include <memory>

#include <QIcon>

#include "platform/tray.h"

namespace nolv {

// The program's icon, drawn at the usual tray sizes; null when it cannot be drawn.
QIcon nolv_icon();

class QtTrayPlatform : public TrayPlatform {
 public:
  // No tray host (no XEmbed tray manager, no StatusNotifierWatcher) is a failure with its reason.
  Result<AddedTrayIcon> add_tray_icon(TrayIconSpec spec) override;
};

}  // namespace nolv
