// The event-loop handler and its own state: what happens before a session exists, and the
// routing of packets and window events once it does.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "client/client.h"
#include "client/connect_dialog.h"
#include "client/connect_thread.h"
#include "client/remote_logging.h"
#include "net/connect.h"
#include "platform/event_loop.h"

namespace nolv {

class AppState : public EventLoopHandler {
 public:
  AppState(EventLoopProxy proxy_in, ConnectOptions options, std::shared_ptr<LogForwardSlot> slot,
           bool insecure)
      : proxy(std::move(proxy_in)),
        connect_options(std::move(options)),
        log_forwarding(std::move(slot)),
        ssl_insecure(insecure) {}

  // What a Client built from this state takes over.
  ClientContext client_context() const;

  // Stores `code` unless one is stored already, and asks the loop to exit.
  void request_exit(ActiveEventLoop& loop, ExitCode code);

  void resumed(ActiveEventLoop& loop) override;
  void user_event(ActiveEventLoop& loop, Packet packet) override;
  void window_event(ActiveEventLoop& loop, WindowId window, WindowEvent event) override;

  // The connection dialog: opened on Resumed without a Client; its submit starts the
  // "connect" thread, whose "connect-result" builds the Client.
  void open_connect_dialog(ActiveEventLoop& loop);
  void handle_connect_dialog_event(ActiveEventLoop& loop, const WindowEvent& event);
  void handle_connect_result(ActiveEventLoop& loop);

  std::unique_ptr<Client> client;
  std::unique_ptr<ConnectDialog> connect_dialog;
  std::optional<ConnectResultReceiver> connect_result;
  std::optional<ConnectRequest> pending_request;
  EventLoopProxy proxy;
  ConnectOptions connect_options;
  std::shared_ptr<LogForwardSlot> log_forwarding;
  std::optional<ExitCode> exit_code;
  bool resumed_flag = false;
  bool ssl_insecure = false;
  SessionServices services;
  DecodeSender decode_sender;
};

// The exit code once the loop has returned normally: the Client's, else the AppState's, else 0.
ExitCode session_exit_code(const AppState& state);

}  // namespace nolv
