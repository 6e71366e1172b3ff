// The routing of every server packet and internal event, and the session-level handlers.
#include <algorithm>
#include <initializer_list>

#include <fmt/format.h>

#include "client/client.h"
#include "client/signals.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/saturating.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";

using Handler = void (Client::*)(ActiveEventLoop&, Packet&);

// Who sends a name: a server packet under an internal name is refused as an unknown type.
enum class Origin { Server, Internal };

struct Route {
  std::initializer_list<std::string_view> names;
  Handler handler;
  Origin origin;
};

// In the order the names are tested; the first match wins.
const Route kRoutes[] = {
    {{"hello"}, &Client::handle_server_hello, Origin::Server},
    {{"audio-capabilities"}, &Client::handle_audio_capabilities, Origin::Server},
    {{"audio-data", "sound-data"}, &Client::handle_audio_data, Origin::Server},
    {{"audio-latency"}, &Client::handle_audio_latency, Origin::Internal},
    {{"audio-worker-failed"}, &Client::handle_audio_worker_failed, Origin::Internal},
    {{"encoding-set", "encodings"}, &Client::handle_encodings, Origin::Server},
    {{"startup-complete"}, &Client::handle_startup_complete, Origin::Server},
    {{"new-window", "window-create"}, &Client::handle_new_window, Origin::Server},
    {{"new-override-redirect"}, &Client::handle_new_override_redirect, Origin::Server},
    {{"window-move-resize"}, &Client::handle_window_move_resize, Origin::Server},
    {{"window-resized"}, &Client::handle_window_resized, Origin::Server},
    {{"configure-override-redirect"}, &Client::handle_window_move_resize, Origin::Server},
    {{"initiate-moveresize", "window-initiate-moveresize"},
     &Client::handle_initiate_moveresize,
     Origin::Server},
    {{"raise-window", "window-raise"}, &Client::handle_raise_window, Origin::Server},
    {{"show-desktop", "display-show-desktop"}, &Client::handle_show_desktop, Origin::Server},
    {{"pointer-position"}, &Client::handle_pointer_position, Origin::Server},
    {{"pointer-grab", "window-grab"}, &Client::handle_pointer_grab, Origin::Server},
    {{"pointer-ungrab", "window-ungrab"}, &Client::handle_pointer_ungrab, Origin::Server},
    {{"lost-window", "window-destroy"}, &Client::handle_lost_window, Origin::Server},
    {{"setting-change"}, &Client::handle_setting_change, Origin::Server},
    {{"bell", "window-bell"}, &Client::handle_bell, Origin::Server},
    {{"cursor-data"}, &Client::handle_cursor_data, Origin::Server},
    {{"cursor-default"}, &Client::handle_cursor_default, Origin::Server},
    {{"notify_show", "notification-show"}, &Client::handle_notify_show, Origin::Server},
    {{"notify_close", "notification-close"}, &Client::handle_notify_close, Origin::Server},
    {{"window-icon"}, &Client::handle_window_icon, Origin::Server},
    {{"window-metadata"}, &Client::handle_window_metadata, Origin::Server},
    {{"server-event", "events"}, &Client::handle_server_event, Origin::Server},
    {{"draw-decoded"}, &Client::handle_draw_decoded, Origin::Internal},
    {{"draw-failed", "decoding-failed"}, &Client::handle_draw_failed, Origin::Internal},
    {{"present-windows"}, &Client::handle_present_windows, Origin::Internal},
    {{"ping"}, &Client::handle_ping, Origin::Server},
    {{"send-ping"}, &Client::handle_send_ping, Origin::Internal},
    {{"send-log"}, &Client::handle_send_log, Origin::Internal},
    {{"ping_echo", "ping-echo"}, &Client::handle_ping_echo, Origin::Server},
    {{"challenge"}, &Client::handle_challenge, Origin::Server},
    {{"challenge-password"}, &Client::handle_challenge_password, Origin::Internal},
    {{"challenge-cancel"}, &Client::handle_challenge_cancel, Origin::Internal},
    {{"challenge-fallback-dialog"}, &Client::handle_challenge_fallback_dialog, Origin::Internal},
    {{"set-clipboard-enabled", "clipboard-status"},
     &Client::handle_set_clipboard_enabled,
     Origin::Server},
    {{"clipboard-token"}, &Client::handle_clipboard_token, Origin::Server},
    {{"clipboard-data"}, &Client::handle_clipboard_data, Origin::Server},
    {{"clipboard-request"}, &Client::handle_clipboard_request, Origin::Server},
    {{"clipboard-contents"}, &Client::handle_clipboard_contents, Origin::Server},
    {{"clipboard-contents-none"}, &Client::handle_clipboard_contents_none, Origin::Server},
    {{"clipboard-pending-requests"}, &Client::handle_clipboard_pending_requests, Origin::Server},
    {{"clipboard-changed"}, &Client::handle_clipboard_changed, Origin::Internal},
    {{"tray-exit"}, &Client::handle_tray_exit, Origin::Internal},
    {{"interrupt"}, &Client::handle_interrupt, Origin::Internal},
    {{"disconnect", "connection-close"}, &Client::handle_disconnect, Origin::Server},
    {{"connection-lost"}, &Client::handle_connection_lost, Origin::Internal},
    {{"invalid-packet"}, &Client::handle_invalid_packet, Origin::Internal},
};

std::string join(const std::vector<std::string>& parts) {
  return fmt::format("{}", fmt::join(parts, ", "));
}

}  // namespace

void Client::dispatch_packet(ActiveEventLoop& loop, std::string_view name, Packet packet) {
  loop_thread.check("a packet was dispatched off the event-loop thread");
  for (const Route& route : kRoutes) {
    if (std::find(route.names.begin(), route.names.end(), name) == route.names.end()) continue;
    if (packet.from_server && route.origin == Origin::Internal) break;
    (this->*route.handler)(loop, packet);
    return;
  }
  log_warn(kLog, "unhandled packet type {}", log_value(name));
}

void Client::handle_startup_complete(ActiveEventLoop&, Packet&) {
  log_info(kLog, "startup complete!");
  update_dock_icon();
  if (startup_complete) return;
  startup_complete = true;
  write_failure->startup_complete = true;
  if (!server_ping) {
    log_debug(kLog, "not sending pings: the server does not want them");
    return;
  }
  Status started = spawn_detached("ping", [p = proxy] { ping_thread(p); });
  if (!started) fatal(fmt::format("failed to start the ping thread: {}", started.message()));
  ping_started = true;
}

void Client::handle_ping(ActiveEventLoop&, Packet& packet) {
  const std::uint64_t echo_time = packet_get_usize(packet.items, 1);
  const std::string text = packet.items.size() >= 4 ? packet_get_str(packet.items, 3) : "";
  log_debug(kLog, "got ping, sending echo time={}", echo_time);
  send_packet(Value::array({"ping-echo", echo_time, 0u, 0u, 0u, round_trip_ms, text}));
}

void Client::handle_send_ping(ActiveEventLoop&, Packet&) {
  send_packet(Value::array({"ping", millis_since_start()}));
}

void Client::handle_ping_echo(ActiveEventLoop&, Packet& packet) {
  const std::int64_t echoed = packet_get_i64(packet.items, 1);
  const auto now = static_cast<std::int64_t>(millis_since_start());
  const std::int64_t round_trip = sub_saturating(now, echoed);
  if (round_trip < 0) return;  // from the future: not a measurement
  round_trip_ms = round_trip;
  log_debug(kLog, "ping echo: client round-trip {} ms", round_trip_ms);
}

void Client::handle_send_log(ActiveEventLoop&, Packet& packet) {
  send_packet(Value::array({"logging-event", packet_get_i64(packet.items, 1),
                            packet_get_str(packet.items, 2), millis_since_start()}));
}

void Client::handle_server_event(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_warn(kLog, "ignoring malformed server-event packet with no event type");
    return;
  }
  const std::string type = packet_get_str(packet.items, 1);
  if (type.empty()) {
    log_warn(kLog, "ignoring malformed server-event packet with an invalid event type");
    return;
  }
  log_info(kLog, "server event: {}", log_value(type));
  if (packet.items.size() > 2) {
    std::vector<std::string> rest;
    for (std::size_t i = 2; i < packet.items.size(); ++i)
      rest.push_back(to_string(packet.items[i]));
    log_debug(kLog, "server event {} arguments: [{}]", log_value(type), log_value(join(rest)));
  }
}

void Client::handle_setting_change(ActiveEventLoop&, Packet& packet) {
  log_debug(kLog, "ignoring setting-change: {}", log_value(packet_get_str(packet.items, 1)));
}

void Client::handle_encodings(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_warn(kLog, "ignoring malformed encoding-set packet with no capabilities");
    return;
  }
  const Yaml& caps = packet.items[1];
  std::vector<std::string> server;
  if (const Yaml* encodings = yaml_dict_get(caps, "encodings");
      encodings != nullptr && encodings->as_hash() != nullptr) {
    server = yaml_dict_get_list(*encodings, "core");
    if (server.empty()) server = yaml_dict_get_list(*encodings, "");
  }
  if (server.empty()) {
    log_warn(kLog, "the server advertised no picture encodings: {}", log_value(to_string(caps)));
    return;
  }
  log_debug(kLog, "server encodings: {}", log_value(join(server)));
  if (const Yaml* video = yaml_dict_get(caps, "video")) {
    if (const Yaml::Hash* map = video->as_hash()) {
      std::vector<std::string> keys;
      for (const auto& [key, value] : *map) {
        const std::string* s = key.as_string();
        keys.push_back(s != nullptr ? *s : "");
      }
      log_debug(kLog, "server video encodings: {}", log_value(join(keys)));
    }
  }
  const auto& ours = supported_encodings();
  for (const std::string& e : server) {
    if (std::find(ours.begin(), ours.end(), e) != ours.end()) return;
  }
  log_warn(kLog,
           "no picture encoding in common with the server: it can send {}, this client decodes {}",
           log_value(join(server)), join(ours));
}

void Client::handle_clipboard_pending_requests(ActiveEventLoop&, Packet&) {}

void Client::handle_tray_exit(ActiveEventLoop& loop, Packet&) {
  log_info(kLog, "exit requested from the system tray");
  send_connection_close(loop, "client exit");
}

void Client::handle_interrupt(ActiveEventLoop& loop, Packet& packet) {
  log_info(kLog, "caught {}, disconnecting", packet_get_str(packet.items, 1));
  send_connection_close(loop, "client interrupted");
}

void Client::handle_disconnect(ActiveEventLoop& loop, Packet& packet) {
  std::vector<std::string> reasons;
  for (std::size_t i = 1; i < packet.items.size(); ++i)
    reasons.push_back(yaml_to_string(packet.items[i]));
  const std::string first = reasons.empty() ? "" : reasons.front();
  ExitCode code = ExitCode::Ok;
  if (std::find(reasons.begin(), reasons.end(), "authentication failed") != reasons.end()) {
    code = ExitCode::Authentication;
  } else if (first.find("error") != std::string::npos ||
             (first.find("timeout") != std::string::npos && first != "idle timeout")) {
    log_error(kLog, "server connection failure: {}", log_value(join(reasons)));
    code = startup_complete ? ExitCode::ServerFailure : ExitCode::ConnectionFailed;
  } else {
    log_info(kLog, "disconnected by the server: {}", log_value(join(reasons)));
  }
  exit_with(loop, code);
}

void Client::handle_connection_lost(ActiveEventLoop& loop, Packet& packet) {
  // A failed write has logged and stored its code already: no second warning.
  take_write_failure();
  // A TLS 1.3 server refuses the handshake (a client certificate it requires) only after our
  // part of it was done: the set-up failed, with its own code and message.
  if (std::optional<ConnectError> refused = writer->setup_failure()) {
    if (!exit_code) log_error("nolv", "{}", refused->message);
    exit_with(loop, refused->code);
    return;
  }
  if (!exit_code) log_warn(kLog, "connection lost: {}", log_value(packet_get_str(packet.items, 1)));
  exit_with(loop, startup_complete ? ExitCode::ConnectionLost : ExitCode::ConnectionFailed);
}

void Client::handle_invalid_packet(ActiveEventLoop& loop, Packet& packet) {
  log_error(kLog, "invalid packet received: {}", log_value(packet_get_str(packet.items, 1)));
  exit_with(loop, startup_complete ? ExitCode::InvalidPacket : ExitCode::ConnectionFailed);
}

}  // namespace nolv
