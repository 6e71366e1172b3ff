// The process entry: arguments, log level, logger, then the main routine's exit code.
#include <csignal>
#include <span>
#include <string>
#include <vector>

#include "client/remote_logging.h"
#include "client/signals.h"
#include "main/options.h"
#include "main/run.h"
#include "platform/qt/qt_platform.h"

int main(int argc, char** argv) {
  // Before any other thread exists, so that only the signal thread receives them; until the
  // event loop's proxy is stored they keep their default action.
  nolv::block_console_signals();
  // A peer that goes away shows as a write error, not as the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  const std::span<const std::string> after_program =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);
  auto slot =
      nolv::install_logger(static_cast<std::uint8_t>(nolv::log_level_from_args(after_program)));
  // Run installs it too; here already so that a Ctrl-C during the connect ends the process.
  if (nolv::Status handler = nolv::install_console_handler(); !handler) {
    nolv::log_warn("nolv::client::signals::imp", "failed to handle console control events: {}",
                   handler.message());
  }
  nolv::QtPlatform platform(argc, argv);
  return nolv::run(std::move(slot), args, platform);
}
