#include "client/internal_event.h"

#include <algorithm>
#include <array>

namespace nolv {

bool is_internal_event_name(std::string_view name) {
  static constexpr std::array<std::string_view, 16> kNames = {
      "draw-decoded",      "present-windows",    "decoding-failed",  "connect-result",
      "clipboard-changed", "challenge-password", "challenge-cancel", "challenge-fallback-dialog",
      "send-ping",         "send-log",           "tray-exit",        "interrupt",
      "connection-lost",   "invalid-packet",     "audio-latency",    "audio-worker-failed"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

}  // namespace nolv
