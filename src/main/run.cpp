#include "main/run.h"

#include <cstdio>
#include <span>

#include "main/options.h"
#include "net/uri.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv";

void print_stdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int run(std::shared_ptr<LogForwardSlot> log_forwarding, const std::vector<std::string>& args) {
  (void)log_forwarding;
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
    return 34;
  }

  if (command_line->target) {
    auto target = parse_uri(*command_line->target);
    if (!target) {
      log_error(kLog, "{}", target.message());
      log_error(kLog, "try '{} --help' for more information", program);
      return 34;
    }
  }
  return 0;
}

}  // namespace nolv
