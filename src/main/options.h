// The command line: program name, log level, help and version texts, options and their errors.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace nolv {

struct CommandLine {
  std::optional<std::string> target;  // exactly as typed
  std::optional<std::vector<std::string>> ssh_command;
  std::optional<std::string> remote_nolv;
  bool ssl_insecure = false;
};

// The file-name component of argument 0 when it is valid UTF-8, else "nolv".
std::string program_name(std::optional<std::string_view> arg0);

// 3 info, 4 with "-v", 5 with "-vv"; `args` are the arguments after argument 0.
int log_level_from_args(std::span<const std::string> args);

std::string help_text(std::string_view program);
std::string version_text(std::string_view program);

// What to print before anything else is parsed: the help wins over the version.
enum class EarlyExit { None, Help, Version };
EarlyExit early_exit_request(std::span<const std::string> args);

Result<CommandLine> parse_command_line(std::span<const std::string> args);

// The words of an "--ssh=" value: blanks separate, quotes group, no escape character.
Result<std::vector<std::string>> split_command_words(std::string_view value);

}  // namespace nolv
