// The path before a session exists when nolv starts without a target: the connection dialog,
// its background connect, and the Client built from a successful one.
#include "main/app_state.h"
#include "net/uri.h"

namespace nolv {

namespace {
constexpr std::string_view kLog = "nolv";
constexpr std::string_view kDialogLog = "nolv::client::connect_dialog";
}  // namespace

void AppState::open_connect_dialog(ActiveEventLoop& loop) {
  const double scale = loop.primary_scale_factor();
  auto window = loop.create_window(ConnectDialog::window_attributes(scale));
  if (!window) {
    log_error(kDialogLog, "failed to create the connection dialog window: {}", window.message());
    request_exit(loop, ExitCode::EventLoop);
    return;
  }
  auto dialog = ConnectDialog::create(std::move(*window), scale);
  if (!dialog) {
    log_error(kDialogLog, "{}", dialog.message());
    request_exit(loop, ExitCode::EventLoop);
    return;
  }
  connect_dialog = std::move(*dialog);
  resumed_flag = true;
  connect_dialog->redraw();
}

void AppState::handle_connect_dialog_event(ActiveEventLoop& loop, const WindowEvent& event) {
  DialogOutcome outcome = connect_dialog->handle_event(event);
  if (std::holds_alternative<DialogCancel>(outcome)) {
    log_info(kLog, "connection cancelled");
    request_exit(loop, ExitCode::Ok);
    return;
  }
  auto* submit = std::get_if<DialogSubmit>(&outcome);
  if (submit == nullptr) return;
  auto target = parse_uri(submit->request.target);
  if (!target) {
    connect_dialog->set_error(target.message());
    return;
  }
  log_info(kLog, "connecting to {}", submit->request.target);
  connect_dialog->set_connecting(submit->request.target);
  auto receiver = start_connect_thread(std::move(*target), ssl_insecure, connect_options, proxy);
  if (!receiver) {
    log_error(kLog, "{}", receiver.message());
    connect_dialog->set_error(receiver.message());
    return;
  }
  pending_request = std::move(submit->request);
  connect_result.emplace(std::move(*receiver));
}

void AppState::handle_connect_result(ActiveEventLoop& loop) {
  std::optional<ConnectResultReceiver> receiver = std::exchange(connect_result, std::nullopt);
  std::optional<ConnectRequest> request = std::exchange(pending_request, std::nullopt);
  if (!receiver || !request) return;
  auto received = take_connect_result(*receiver);
  if (!received) {
    log_error(kLog, "no connection result: {}", received.message());
    // Leaving the dialog in its connecting state would lock it; let the user try again.
    if (connect_dialog) connect_dialog->set_error(received.message());
    return;
  }
  if (!received->ok()) {
    const ConnectError& error = received->error();
    log_error(kLog, "{}", error.message);
    if (connect_dialog) connect_dialog->set_error(error.message);
    return;
  }
  client = Client::create(client_context(), std::move(*received).value(), request->target,
                          std::move(request->username), std::move(request->password));
  client->resumed = std::exchange(resumed_flag, false);
  connect_dialog.reset();
  client->startup(loop);
}

}  // namespace nolv
