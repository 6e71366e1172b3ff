#include "main/run.h"

#include <cstdio>
#include <span>

#include "client/audio_output.h"
#include "client/client.h"
#include "client/draw_decoder.h"
#include "client/signals.h"
#include "main/app_state.h"
#include "main/options.h"
#include "net/connect.h"
#include "net/io.h"
#include "net/uri.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv";

void print_stdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int run(std::shared_ptr<LogForwardSlot> log_forwarding, const std::vector<std::string>& args,
        Platform& platform) {
  const std::string program =
      program_name(args.empty() ? std::nullopt : std::optional<std::string_view>(args[0]));
  const std::span<const std::string> rest =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);

  switch (early_exit_request(rest)) {
    case EarlyExit::Help:
      print_stdout(help_text(program));
      return 0;
    case EarlyExit::Version:
      print_stdout(version_text(program));
      return 0;
    case EarlyExit::None:
      break;
  }

  auto command_line = parse_command_line(rest);
  if (!command_line) {
    log_error(kLog, "{}", command_line.message());
    log_error(kLog, "usage: {} [OPTIONS] [TARGET]", program);
    log_error(kLog, "try '{} --help' for more information", program);
    return exit_status(ExitCode::Usage);
  }

  ConnectOptions options;
  options.ssh_command = command_line->ssh_command;
  options.remote_nolv = command_line->remote_nolv;

  std::optional<Transport> transport;
  if (command_line->target) {
    auto target = parse_uri(*command_line->target);
    if (!target) {
      log_error(kLog, "{}", target.message());
      log_error(kLog, "try '{} --help' for more information", program);
      return exit_status(ExitCode::Usage);
    }
    auto connected = connect(*target, command_line->ssl_insecure, options);
    if (!connected) {
      log_error(kLog, "{}", connected.error().message);
      return exit_status(connected.error().code);
    }
    transport.emplace(std::move(connected).value());
  }

  auto loop = platform.create_event_loop();
  if (!loop) {
    log_error(kLog, "failed to create the event loop: {}", loop.message());
    return exit_status(ExitCode::EventLoop);
  }
  EventLoopProxy proxy = (*loop)->create_proxy();

  auto pictures = std::make_shared<Backlog>(kDecodedPicturesLimit);
  DecodeChannel decode = DecodeChannel::open();
  log_debug("nolv::client::mmap", "mmap picture transfers are not supported on this platform");
  start_decoding_thread(std::move(decode.receiver), waiting_proxy(proxy, pictures));

  if (!store_interrupt_proxy(proxy)) {
    log_warn("nolv::client::signals::imp",
             "failed to store the event loop proxy: interrupts will not be handled");
  }
  if (Status installed = install_console_handler(); !installed) {
    log_warn("nolv::client::signals::imp", "failed to handle console control events: {}",
             installed.message());
  }

  // Declared before the state, so that it still watches while the state is taken down.
  std::optional<ExitDeadline> teardown_deadline;
  AppState state(proxy, std::move(options), std::move(log_forwarding), command_line->ssl_insecure);
  state.services.system_keyboard_layout = [&platform] { return platform.keyboard_layout(); };
  state.services.audio_worker_body = audio_worker_body(platform.audio_outputs());
  state.services.bell = platform.bell();
  state.services.tray_platform = (*loop)->tray();
  state.services.clipboard_access = (*loop)->clipboard();
  state.decode_sender = std::move(decode.sender);
  state.services.reader_body = read_packet;
  if (transport) {
    state.client = Client::create(state.client_context(), std::move(*transport),
                                  *command_line->target, std::nullopt, std::nullopt);
  }

  Status ran = (*loop)->run(state);
  if (!ran) log_error(kLog, "event loop error: {}", ran.message());
  const ExitCode code = ran ? session_exit_code(state) : ExitCode::EventLoop;
  teardown_deadline.emplace(code, kTeardownDeadline);
  return exit_status(code);
}

}  // namespace nolv
