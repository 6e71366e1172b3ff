// The notification-area icon as the client logic sees it: one icon with a tooltip, a menu whose
// "Exit" item calls back, and balloons. The Qt layer implements it; tests use a fake.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "util/result.h"

namespace nolv {

struct TrayIconSpec {
  std::u16string tooltip;     // already cut to the tooltip length
  std::u16string menu_title;  // the disabled first menu item
  // Runs on the event-loop thread when the user chooses "Exit".
  std::function<void()> on_exit;
};

// One icon, added while the object lives and removed when it is destroyed.
class TrayIconBackend {
 public:
  virtual ~TrayIconBackend() = default;
  // The texts are already cut to the balloon lengths. False when the balloon cannot be shown.
  [[nodiscard]] virtual bool show_balloon(const std::u16string& title,
                                          const std::u16string& text) = 0;
  // Withdraws the balloon last shown, if the host still shows it.
  virtual void withdraw_balloon() = 0;
};

struct AddedTrayIcon {
  std::unique_ptr<TrayIconBackend> icon;
  // The program's own artwork could not be built and a stock icon stands in.
  bool used_fallback_icon = false;
};

class TrayPlatform {
 public:
  virtual ~TrayPlatform() = default;
  // Called on the event-loop thread. The error is the reason text, e.g. no tray host.
  virtual Result<AddedTrayIcon> add_tray_icon(TrayIconSpec spec) = 0;
};

}  // namespace nolv
