#include "main/app_state.h"

#include "client/signals.h"

namespace nolv {

namespace {
constexpr std::string_view kLog = "nolv";
constexpr std::string_view kClientLog = "nolv::client::client";
}  // namespace

ClientContext AppState::client_context() const {
  return ClientContext{proxy, decode_sender, log_forwarding, services};
}

void AppState::request_exit(ActiveEventLoop& loop, ExitCode code) {
  if (!exit_code) exit_code = code;
  remember_exit_code(*exit_code);
  loop.exit();
}

void AppState::resumed(ActiveEventLoop& loop) {
  if (client) {
    client->startup(loop);
    return;
  }
  if (!connect_dialog) open_connect_dialog(loop);
}

void AppState::user_event(ActiveEventLoop& loop, Packet packet) {
  if (!client) {
    const std::string name = packet.items.empty() ? "" : packet_get_str(packet.items, 0);
    if (name == "connect-result") {
      handle_connect_result(loop);
    } else if (name == "interrupt") {
      log_info(kLog, "caught {}", packet_get_str(packet.items, 1));
      request_exit(loop, ExitCode::Ok);
    } else {
      log_debug(kLog, "ignoring {} received before the session started", to_string(packet));
    }
    return;
  }
  if (packet.items.empty()) {
    log_error(kClientLog, "empty packet!");
    return;
  }
  const std::string* name = packet.items[0].as_string();
  if (name == nullptr || name->empty()) {
    log_error(kClientLog, "malformed packet");
    return;
  }
  const std::string type = *name;
  client->dispatch_packet(loop, type, std::move(packet));
}

void AppState::window_event(ActiveEventLoop& loop, WindowId window, WindowEvent event) {
  if (client) {
    if (client->route_auth_dialog_event(loop, window, event)) return;
    client->route_window_event(loop, window, event);
  } else if (connect_dialog && connect_dialog->window_id() == window) {
    handle_connect_dialog_event(loop, event);
  }
}

ExitCode session_exit_code(const AppState& state) {
  if (state.client && state.client->exit_code) return *state.client->exit_code;
  return state.exit_code.value_or(ExitCode::Ok);
}

}  // namespace nolv
