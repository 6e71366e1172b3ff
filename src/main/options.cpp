#include "main/options.h"

#include <algorithm>
#include <cstdint>

#include "util/text.h"
#include "util/version.h"

namespace nolv {

namespace {

constexpr std::string_view kHelpBody =
    R"(Nolv client: connects to an nolv server and shows the windows of the applications
running there on the local desktop.

With no TARGET at all, a dialog asks for the connection details.

Targets:
  HOST:PORT                           plain tcp, the same as tcp://HOST:PORT/
  tcp://HOST:PORT/                    plain tcp
  ssl://HOST:PORT/                    tcp with TLS
  ws://HOST:PORT/                     websocket over http
  wss://HOST:PORT/                    websocket over https
  ssh://[USER@]HOST[:PORT]/[DISPLAY]  tunnel through the system 'ssh' (port 22 by default,
                                      see --remote-nolv)
  socket:///ABSOLUTE/PATH             Unix-domain socket (Unix only)
  /ABSOLUTE/PATH                      shorthand for socket:///ABSOLUTE/PATH (Unix only)

ssl:// and wss:// verify the server's certificate chain and hostname against the
system trust store. There is no way to trust a private CA yet, so a self-signed
certificate needs --ssl-insecure.

Options:
  -h, --help                          show this help and exit
      --version                       show the version and exit
  -v, -vv                             log debug, or trace, instead of just info
      --ssl-insecure                  connect to an ssl:// or wss:// server without
                                      verifying its certificate or hostname
      --remote-nolv=PATH              the nolv to run on the remote host of an ssh://
                                      target, when it is not on the login shell's PATH
      --ssh=COMMAND                   the ssh to run for an ssh:// target, with its own
                                      options, e.g. a ProxyCommand; quotes group words

Environment:
  NOLV_PASSWORD     the session password, used to answer the server's authentication
                    challenge without prompting
  PINENTRY_PROGRAM  the pinentry binary to prompt with, when there is no NOLV_PASSWORD
  NOLV_MMAP         'no' to switch off shared memory picture transfers, or the path of
                    the backing file to use for them (Linux only, on by default)
  NOLV_MMAP_DIR     the directory to create the shared memory file in (the temporary
                    directory by default)
  NOLV_MMAP_SIZE    the size of the shared memory area, with an optional K/M/G suffix
                    (128M by default, 64M minimum)
  NOLV_DESKTOP_SCALING
                    'off' to show one server pixel per screen pixel on a HiDPI display,
                    or a factor to scale windows by (follows the display by default)
  NO_COLOR          never colour the log output
)";

constexpr std::string_view kHelpLastLine =
    "The README.md of the nolv sources has the full documentation.\n";

bool is_one_of(std::string_view arg, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), arg) != names.end();
}

}  // namespace

std::string program_name(std::optional<std::string_view> arg0) {
  if (!arg0 || !is_valid_utf8(*arg0)) return "nolv";
  std::string_view path = *arg0;
  // Trailing separators and "." components do not name the file.
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.remove_suffix(1);
    } else if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") {
      path.remove_suffix(2);
    } else {
      break;
    }
  }
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return "nolv";
  return std::string(name);
}

int log_level_from_args(std::span<const std::string> args) {
  int level = 3;
  for (const std::string& arg : args) {
    if (arg == "-v" && level != 5) level = 4;
    if (arg == "-vv") level = 5;
  }
  return level;
}

std::string help_text(std::string_view program) {
  std::string text = "usage: " + std::string(program) + " [OPTIONS] [TARGET]\n\n";
  text += kHelpBody;
  text += kHelpLastLine;
  return text;
}

std::string version_text(std::string_view program) {
  return std::string(program) + " " + std::string(kVersion) + "\n";
}

EarlyExit early_exit_request(std::span<const std::string> args) {
  const auto has = [&](std::initializer_list<std::string_view> names) {
    return std::any_of(args.begin(), args.end(),
                       [&](const std::string& a) { return is_one_of(a, names); });
  };
  if (has({"-h", "--help"})) return EarlyExit::Help;
  if (has({"--version"})) return EarlyExit::Version;
  return EarlyExit::None;
}

Result<CommandLine> parse_command_line(std::span<const std::string> args) {
  static constexpr std::string_view kRemote = "--remote-nolv=";
  static constexpr std::string_view kSsh = "--ssh=";
  CommandLine cl;
  for (const std::string& arg : args) {
    const std::string_view a = arg;
    if (is_one_of(a, {"-h", "--help", "--version", "-v", "-vv"})) continue;
    if (a == "--ssl-insecure") {
      cl.ssl_insecure = true;
    } else if (a.starts_with(kRemote)) {
      if (a.size() == kRemote.size())
        return fail("--remote-nolv needs the path of the remote nolv");
      cl.remote_nolv = std::string(a.substr(kRemote.size()));
    } else if (a.starts_with(kSsh)) {
      auto words = split_command_words(a.substr(kSsh.size()));
      if (!words) return fail("--ssh: {}", words.message());
      cl.ssh_command = std::move(*words);
    } else if (a.starts_with("-")) {
      return fail("unrecognized option {}", a);
    } else if (!cl.target) {
      cl.target = arg;
    } else {
      return fail("more than one target: {} and {}", *cl.target, a);
    }
  }
  return cl;
}

Result<std::vector<std::string>> split_command_words(std::string_view value) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < value.size();) {
    const CodePoint c = next_code_point(value, i);
    const std::string_view text = value.substr(i, c.length);
    i += c.length;
    if (quote != 0) {
      if (c.value == static_cast<unsigned char>(quote) && c.length == 1) {
        quote = 0;
      } else {
        word += text;
      }
    } else if (c.length == 1 && (text[0] == '\'' || text[0] == '"')) {
      quote = text[0];
      in_word = true;
    } else if (c.valid && is_white_space(c.value)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += text;
      in_word = true;
    }
  }
  if (quote != 0) return fail("unterminated {} quote in {}", quote, value);
  if (in_word) words.push_back(std::move(word));
  if (words.empty()) return fail("no command given");
  return words;
}

}  // namespace nolv
