// The process entry: arguments, log level, logger, then the main routine's exit code.
#include <span>
#include <string>
#include <vector>

#include "client/remote_logging.h"
#include "main/options.h"
#include "main/run.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  const std::span<const std::string> after_program =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);
  auto slot =
      nolv::install_logger(static_cast<std::uint8_t>(nolv::log_level_from_args(after_program)));
  return nolv::run(std::move(slot), args);
}
