#include "client/tray.h"

#include "util/format.h"
#include "util/log.h"
#include "util/text.h"

namespace nolv {
namespace {

constexpr std::string_view kTrayLog = "nolv::client::tray";
constexpr std::string_view kClientLog = "nolv::client::client";

Packet tray_exit_event() {
  Packet p;
  p.items.push_back(Yaml::string("tray-exit"));
  p.items.push_back(Yaml::string(""));
  return p;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  const std::string valid = utf8_lossy(text);
  std::u16string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const auto b = static_cast<unsigned char>(valid[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    }
    i += len;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  }
  return out;
}

std::u16string copy_to_wide_array(std::size_t n, std::string_view text) {
  std::u16string wide = utf8_to_utf16(text);
  if (n == 0) return {};
  if (wide.size() > n - 1) wide.resize(n - 1);
  return wide;
}

std::optional<BalloonTexts> balloon_texts(std::string_view app, std::string_view summary,
                                          std::string_view body) {
  if (!body.empty()) {
    return BalloonTexts{std::string(summary.empty() ? app : summary), std::string(body)};
  }
  if (summary.empty()) return std::nullopt;
  return BalloonTexts{app.empty() ? std::string("Nolv") : std::string(app), std::string(summary)};
}

std::vector<std::string> notification_log_lines(std::string_view app, std::string_view summary,
                                                std::string_view body) {
  std::vector<std::string> lines;
  lines.push_back(app.empty() ? fmt::format("notification: {}", summary)
                              : fmt::format("notification from {}: {}", app, summary));
  // Lines end at "\n" with one "\r" before it dropped; a final "\n" starts no further line.
  while (!body.empty()) {
    const std::size_t end = body.find('\n');
    std::string_view line = body.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(fmt::format("  {}", line));
    if (end == std::string_view::npos) break;
    body.remove_prefix(end + 1);
  }
  return lines;
}

Result<TrayIcon> TrayIcon::create(TrayPlatform& platform, const EventLoopProxy& proxy,
                                  std::string_view target) {
  TrayIconSpec spec;
  spec.tooltip = copy_to_wide_array(kTrayTipUnits, fmt::format("Nolv - {}", target));
  spec.menu_title = utf8_to_utf16(fmt::format("nolv @ {}", target));
  spec.on_exit = [proxy] { (void)proxy.send_event(tray_exit_event()); };
  Result<AddedTrayIcon> added = platform.add_tray_icon(std::move(spec));
  if (!added) return added.error();
  if (added->used_fallback_icon) {
    log_warn(kTrayLog, "no icon resource in the executable, using the default application icon");
  }
  log_debug(kTrayLog, "system tray icon added");
  return TrayIcon(std::move(added->icon));
}

TrayIcon& TrayIcon::operator=(TrayIcon&& other) noexcept {
  if (this != &other) {
    remove();
    icon_ = std::move(other.icon_);
    current_balloon = other.current_balloon;
  }
  return *this;
}

TrayIcon::~TrayIcon() {
  remove();
}

void TrayIcon::remove() {
  if (icon_ == nullptr) return;  // moved from
  icon_.reset();
  log_debug(kTrayLog, "system tray icon removed");
}

bool TrayIcon::show_balloon(std::uint64_t id, const BalloonTexts& texts) {
  const bool shown =
      icon_ != nullptr && icon_->show_balloon(copy_to_wide_array(kBalloonTitleUnits, texts.title),
                                              copy_to_wide_array(kBalloonTextUnits, texts.text));
  if (!shown) {
    log_warn(kTrayLog, "failed to show notification {} as a tray balloon", id);
    return false;
  }
  log_debug(kTrayLog, "notification {} shown as a tray balloon", id);
  current_balloon = id;
  return true;
}

void TrayIcon::close_balloon(std::uint64_t id) {
  if (!current_balloon.has_value() || *current_balloon != id) return;
  current_balloon.reset();
  log_debug(kTrayLog, "withdrawing the tray balloon for notification {}", id);
  if (icon_ != nullptr) icon_->withdraw_balloon();
}

void show_notification(std::optional<TrayIcon>& tray, const Packet& packet) {
  const std::string app = packet_get_str(packet.items, 3);
  const std::string summary = packet_get_str(packet.items, 6);
  const std::string body = packet_get_str(packet.items, 7);
  for (const std::string& line : notification_log_lines(app, summary, body)) {
    log_info(kClientLog, "{}", log_value(line));
  }
  if (!tray.has_value()) return;
  const std::uint64_t id = packet_get_usize(packet.items, 2);
  std::optional<BalloonTexts> texts = balloon_texts(app, summary, body);
  if (!texts) {
    log_debug(kTrayLog, "notification {} has no text, not showing a balloon", id);
    return;
  }
  (void)tray->show_balloon(id, *texts);
}

void close_notification(std::optional<TrayIcon>& tray, const Packet& packet) {
  const std::uint64_t id = packet_get_usize(packet.items, 1);
  log_debug(kClientLog, "notification {} closed", id);
  if (tray.has_value()) tray->close_balloon(id);
}

Status TrayAndNotifications::create_icon(std::string_view target) {
  if (icon_.has_value()) return {};
  if (platform_ == nullptr) return fail("no system tray on this platform");
  Result<TrayIcon> created = TrayIcon::create(*platform_, proxy_, target);
  if (!created) return created.error();
  icon_.emplace(std::move(created).value());
  return {};
}

void TrayAndNotifications::update_dock_icon(bool shown) {
  if (dock_icon_ == shown) return;
  log_debug(kClientLog, "dock icon {}", shown ? "shown" : "hidden");
  dock_icon_ = shown;
}

}  // namespace nolv
