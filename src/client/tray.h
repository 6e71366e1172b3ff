// The notification-area icon of a session: its tooltip, its "Exit" menu and the server's
// notifications shown as balloons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/packet.h"
#include "platform/event_loop.h"
#include "platform/tray.h"
#include "util/result.h"

namespace nolv {

// Array sizes in UTF-16 units, the final unit being the terminating 0.
inline constexpr std::size_t kTrayTipUnits = 128;
inline constexpr std::size_t kBalloonTextUnits = 256;
inline constexpr std::size_t kBalloonTitleUnits = 64;

// UTF-8 to UTF-16, each invalid sequence replaced by U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
// The text in an array of n units: at most n - 1 units (a surrogate pair may be cut).
std::u16string copy_to_wide_array(std::size_t n, std::string_view text);

struct BalloonTexts {
  std::string title;
  std::string text;
};
// None when the notification has neither summary nor body.
std::optional<BalloonTexts> balloon_texts(std::string_view app, std::string_view summary,
                                          std::string_view body);
// The info lines logged for a notification: the heading, then "  {line}" per body line.
std::vector<std::string> notification_log_lines(std::string_view app, std::string_view summary,
                                                std::string_view body);

class TrayIcon {
 public:
  // Adds the icon through the tray platform; the error is the reason text.
  static Result<TrayIcon> create(TrayPlatform& platform, const EventLoopProxy& proxy,
                                 std::string_view target);

  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;
  TrayIcon(TrayIcon&&) noexcept = default;
  TrayIcon& operator=(TrayIcon&& other) noexcept;
  ~TrayIcon();

  // Shows the balloon and remembers the id; false (id unchanged) when it cannot be shown.
  bool show_balloon(std::uint64_t id, const BalloonTexts& texts);
  // Withdraws the balloon when it belongs to notification `id`.
  void close_balloon(std::uint64_t id);

  std::optional<std::uint64_t> current_balloon;

 private:
  explicit TrayIcon(std::unique_ptr<TrayIconBackend> icon) : icon_(std::move(icon)) {}
  void remove();
  std::unique_ptr<TrayIconBackend> icon_;
};

// The handlers of "notify_show"/"notification-show" and "notify_close"/"notification-close".
void show_notification(std::optional<TrayIcon>& tray, const Packet& packet);
void close_notification(std::optional<TrayIcon>& tray, const Packet& packet);

// The session's tray icon, the server's notifications it shows, and whether the dock icon is
// shown. Event-loop thread only, like the session that owns it.
class TrayAndNotifications {
 public:
  TrayAndNotifications() = default;
  // None leaves the session without a tray icon; the icon's "Exit" posts "tray-exit" to `proxy`.
  TrayAndNotifications(std::shared_ptr<TrayPlatform> platform, EventLoopProxy proxy)
      : platform_(std::move(platform)), proxy_(std::move(proxy)) {}

  // Creates the icon when there is none (so every Resumed may call it); the reason on failure.
  Status create_icon(std::string_view target);
  bool has_icon() const { return icon_.has_value(); }

  void show_notification(const Packet& packet) { nolv::show_notification(icon_, packet); }
  void close_notification(const Packet& packet) { nolv::close_notification(icon_, packet); }

  // Logs only a change; none until the first update.
  void update_dock_icon(bool shown);
  std::optional<bool> dock_icon() const { return dock_icon_; }

 private:
  std::shared_ptr<TrayPlatform> platform_;
  EventLoopProxy proxy_;
  std::optional<TrayIcon> icon_;
  std::optional<bool> dock_icon_;
};

}  // namespace nolv
