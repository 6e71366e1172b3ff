// The ssh transport: the system's ssh client (or the program given with "--ssh") as a child
// process whose remote command runs the server-side program in its proxy mode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/connect.h"
#include "net/uri.h"
#include "util/result.h"

namespace nolv {

// The word in single quotes, each ' written as '\'' (also for words without special characters).
std::string shell_quote(std::string_view word);

// The remote shell script that checks for and runs "<program> _proxy [display]".
std::string ssh_remote_script(std::string_view program, std::string_view display);

struct SshCommandLine {
  std::string program;
  std::vector<std::string> arguments;  // without the program itself
};

// The child's program and arguments; failures are the cause text.
Result<SshCommandLine> ssh_command_line(const Target& target,
                                        const std::optional<std::vector<std::string>>& ssh_command,
                                        const std::optional<std::string>& remote_nolv);

// Starts the child with piped stdin/stdout and inherited stderr; failures are code 8,
// "ssh connection failed: {}".
ConnectResult<Transport> ssh_connect(const Target& target,
                                     const std::optional<std::vector<std::string>>& ssh_command,
                                     const std::optional<std::string>& remote_nolv);

// Body of the detached thread that owns the child: waits for it and reaps it.
void ssh_child_waiter(int pid);

}  // namespace nolv
