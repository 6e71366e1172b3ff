#include "net/ssh.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fmt/format.h>

#include "util/fatal.h"
#include "util/spawn.h"
#include "util/text.h"
#include "util/thread.h"

extern char** environ;

namespace nolv {

std::string shell_quote(std::string_view word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string ssh_remote_script(std::string_view program, std::string_view display) {
  const std::string quoted = shell_quote(program);
  const std::string proxy = display.empty()
                                ? fmt::format("{} _proxy", quoted)
                                : fmt::format("{} _proxy {}", quoted, shell_quote(display));
  return fmt::format(
      "if command -v {} > /dev/null 2>&1; then {}; else echo \"no nolv command found:\" {} 1>&2; "
      "exit 1; fi",
      quoted, proxy, quoted);
}

namespace {

// The program's file name after the last '/' or '\', ASCII letters lower-cased.
std::string base_name_lower(std::string_view program) {
  const auto slash = program.find_last_of("/\\");
  return ascii_lowercase(slash == std::string_view::npos ? program : program.substr(slash + 1));
}

// Host and port text of "host:port", "[v6]:port" or "[v6]"; the brackets only protect the
// address's own colons, so ssh gets the bare address and, without a port, its default 22.
Result<std::pair<std::string, std::string>> split_host_port(const std::string& address) {
  if (!address.empty() && address.front() == '[') {
    const auto close = address.find(']');
    if (close == std::string::npos) return fail("missing ']' in {}", address);
    std::string host = address.substr(1, close - 1);
    const std::string rest = address.substr(close + 1);
    if (rest.empty()) return std::pair{std::move(host), std::string("22")};
    if (rest.front() != ':') return fail("missing port in {}", address);
    return std::pair{std::move(host), rest.substr(1)};
  }
  const auto colon = address.rfind(':');
  if (colon == std::string::npos) return fail("missing port in {}", address);
  return std::pair{address.substr(0, colon), address.substr(colon + 1)};
}

}  // namespace

Result<SshCommandLine> ssh_command_line(const Target& target,
                                        const std::optional<std::vector<std::string>>& ssh_command,
                                        const std::optional<std::string>& remote_nolv) {
  auto split = split_host_port(target.address);
  if (!split) return split.error();
  const auto& [host, port] = *split;

  const std::vector<std::string> words =
      ssh_command ? *ssh_command : std::vector<std::string>{"ssh"};
  if (words.empty()) return fail("the ssh command is empty");

  SshCommandLine out;
  out.program = words.front();
  out.arguments.assign(words.begin() + 1, words.end());
  out.arguments.insert(out.arguments.end(), {"-x", "-T"});
  if (port != "22") {
    const std::string base = base_name_lower(out.program);
    out.arguments.push_back(base == "plink" || base == "plink.exe" ? "-P" : "-p");
    out.arguments.push_back(port);
  }
  if (target.user) {
    out.arguments.push_back("-l");
    out.arguments.push_back(*target.user);
  }
  out.arguments.push_back(host);
  const std::string script = ssh_remote_script(remote_nolv ? *remote_nolv : "nolv", target.path);
  out.arguments.push_back(fmt::format("sh -c {}", shell_quote(script)));
  return out;
}

// It only waits in waitpid.
constexpr std::size_t kSshWaiterStack = 64 * 1024;

void ssh_child_waiter(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

namespace {

// The candidates for `program` in the order the shell's lookup tries them: the name itself when
// it holds a '/', else each PATH entry (an empty one is the current directory) joined with it.
std::vector<std::string> program_candidates(const std::string& program) {
  if (program.find('/') != std::string::npos) return {program};
  const char* path = std::getenv("PATH");
  const std::string_view entries = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(entries.find(':', start), entries.size());
    const std::string_view dir = entries.substr(start, end - start);
    out.push_back(dir.empty() ? program : fmt::format("{}/{}", dir, program));
    if (end == entries.size()) break;
    start = end + 1;
  }
  return out;
}

// A console interrupt goes to the whole foreground process group. The child keeps the console
// (its password prompts need it) but ignores the two keyboard signals, which ssh keeps ignored,
// so that the client can still send its farewell through it and then end it by closing its
// input.
constexpr int kSignalsIgnoredByTheChild[] = {SIGINT, SIGQUIT};

// In the forked child: only async-signal-safe calls until exec. Writes errno to `report` when no
// candidate could be executed.
[[noreturn]] void exec_child(const std::vector<std::string>& candidates, char* const* argv,
                             int child_stdin, int child_stdout, int report) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  for (int signal : kSignalsIgnoredByTheChild) (void)::sigaction(signal, &action, nullptr);
  action.sa_handler = SIG_DFL;
  (void)::sigaction(SIGPIPE, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::dup2(child_stdin, 0) < 0 || ::dup2(child_stdout, 1) < 0) {
    const int error = errno;
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
  }
  int error = ENOENT;
  bool denied = false;
  for (const std::string& candidate : candidates) {
    ::execve(candidate.c_str(), argv, environ);
    if (errno == EACCES) denied = true;
    if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
      error = errno;
      break;
    }
  }
  if (denied && error == ENOENT) error = EACCES;
  (void)!::write(report, &error, sizeof error);
  ::_exit(127);
}

// Starts the child with its stdin and stdout on the given pipe ends; the pid, or the system's
// error text of the failed start.
Result<pid_t> start_child(const SshCommandLine& command, int child_stdin, int child_stdout) {
  const std::vector<std::string> candidates = program_candidates(command.program);
  std::vector<std::string> words;
  words.push_back(command.program);
  words.insert(words.end(), command.arguments.begin(), command.arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  auto report = make_pipe();
  if (!report) return fail("{}", os_error_text(errno));
  const pid_t pid = ::fork();
  if (pid < 0) return fail("{}", os_error_text(errno));
  if (pid == 0)
    exec_child(candidates, argv.data(), child_stdin, child_stdout, report->second.get());
  report->second = UniqueFd();
  int error = 0;
  ssize_t n = 0;
  do {
    n = ::read(report->first.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof error)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail("{}", os_error_text(error));
  }
  return pid;  // the report pipe closed at exec
}

}  // namespace

ConnectResult<Transport> ssh_connect(const Target& target,
                                     const std::optional<std::vector<std::string>>& ssh_command,
                                     const std::optional<std::string>& remote_nolv) {
  auto failed = [](const std::string& cause) {
    return ConnectError{ExitCode::SshFailure, fmt::format("ssh connection failed: {}", cause)};
  };
  auto command = ssh_command_line(target, ssh_command, remote_nolv);
  if (!command) return failed(command.message());

  auto to_child = make_pipe();
  if (!to_child) return failed(os_error_text(errno));
  auto from_child = make_pipe();
  if (!from_child) return failed(os_error_text(errno));
  auto& [child_stdin, our_stdin] = *to_child;
  auto& [our_stdout, child_stdout] = *from_child;

  auto started = start_child(*command, child_stdin.get(), child_stdout.get());
  if (!started) {
    return failed(fmt::format("failed to launch {}: {}", command->program, started.message()));
  }
  const pid_t pid = *started;
  child_stdin = UniqueFd();
  child_stdout = UniqueFd();

  Status waiting = spawn_detached(
      "ssh-waiter", [pid] { ssh_child_waiter(static_cast<int>(pid)); }, kSshWaiterStack);
  if (!waiting) fatal(fmt::format("failed to start the ssh child waiter: {}", waiting.message()));

  auto stdin_pipe = std::make_shared<LockedFd>();
  stdin_pipe->fd = std::move(our_stdin);
  auto stdout_pipe = std::make_shared<LockedFd>();
  stdout_pipe->fd = std::move(our_stdout);
  return Transport{Transport::Ssh{std::move(stdin_pipe), std::move(stdout_pipe)}};
}

}  // namespace nolv
