#include "client/pinentry.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "client/client.h"
#include "client/internal_event.h"
#include "util/log.h"
#include "util/spawn.h"
#include "util/text.h"

extern char** environ;

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::pinentry";
// The reply reader's buffer; a reply line is read up to its "\n" whatever its length.
constexpr std::size_t kReadBuffer = 8192;
// A reply line longer than this is a misbehaving program, not a password.
constexpr std::size_t kMaxReplyLine = 1 << 20;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool valid_utf8(std::string_view bytes) {
  return utf8_lossy(bytes) == bytes;
}

class ReplyReader {
 public:
  explicit ReplyReader(int fd) : fd_(fd) {}

  // One reply with status, comment and empty lines skipped and trailing whitespace cut.
  Result<std::string> reply() {
    while (true) {
      auto line = read_line();
      if (!line) return line;
      std::string text = std::move(*line);
      raw_ = text;
      while (!raw_.empty() && (raw_.back() == '\n' || raw_.back() == '\r')) raw_.pop_back();
      while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
      }
      if (text.empty() || text[0] == 'S' || text[0] == '#') continue;
      return text;
    }
  }

  // The last reply with only its line ending removed.
  const std::string& raw() const { return raw_; }

 private:
  Result<std::string> read_line() {
    std::string line;
    while (true) {
      if (pos_ == len_) {
        ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("{}", std::strerror(errno));
        if (n == 0) {
          if (line.empty()) return fail("pinentry closed the connection");
          break;
        }
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
      }
      const char c = buffer_[pos_++];
      line += c;
      if (c == '\n') break;
      if (line.size() > kMaxReplyLine) return fail("pinentry reply line too long");
    }
    if (!valid_utf8(line)) return fail("stream did not contain valid UTF-8");
    return line;
  }

  int fd_;
  std::string raw_;
  char buffer_[kReadBuffer];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

bool is_ok(std::string_view reply) {
  return reply == "OK" || reply.starts_with("OK ");
}

Status write_line(int fd, std::string_view line) {
  std::string text = std::string(line) + "\n";
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("{}", std::strerror(errno));
    if (n == 0) return fail("failed to write whole buffer");
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status expect_ok(ReplyReader& reader) {
  auto reply = reader.reply();
  if (!reply) return reply.error();
  if (!is_ok(*reply)) return Error{*reply};
  return {};
}

Status command(int fd, ReplyReader& reader, std::string_view line) {
  if (Status st = write_line(fd, line); !st) return st;
  return expect_ok(reader);
}

}  // namespace

std::string assuan_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out += c;
    }
  }
  return out;
}

std::string assuan_unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        bytes += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    bytes += text[i];
  }
  return utf8_lossy(bytes);
}

PinentryOutcome pinentry_dialogue(int to_child, int from_child, std::string_view description,
                                  const std::optional<std::string>& gpg_tty) {
  ReplyReader reader(from_child);
  if (Status st = expect_ok(reader); !st) return st.error();
  if (gpg_tty) {
    if (Status st = write_line(to_child, "OPTION ttyname=" + *gpg_tty); !st) return st.error();
    if (auto reply = reader.reply(); !reply) return reply.error();
  }
  if (Status st = command(to_child, reader, "SETTITLE Nolv Authentication"); !st) {
    return st.error();
  }
  if (Status st = command(to_child, reader, "SETPROMPT Password:"); !st) return st.error();
  if (Status st = command(to_child, reader, "SETDESC " + assuan_escape(description)); !st) {
    return st.error();
  }
  if (Status st = write_line(to_child, "GETPIN"); !st) return st.error();
  std::optional<std::string> password;
  while (true) {
    auto reply = reader.reply();
    if (!reply) return reply.error();
    // The data of a "D " line is taken before the whitespace cut: a password may end in blanks,
    // and "D " alone is the empty password.
    if (reader.raw().starts_with("D ")) {
      password = assuan_unescape(std::string_view(reader.raw()).substr(2));
    } else if (is_ok(*reply)) {
      break;
    } else if (reply->starts_with("ERR")) {
      password.reset();
      break;
    }
  }
  (void)write_line(to_child, "BYE");
  return password;
}

namespace {

PinentryOutcome run_program(const PinentryRequest& request) {
  auto in_pipe = make_pipe();
  if (!in_pipe) return fail("no pinentry stdin");
  auto out_pipe = make_pipe();
  if (!out_pipe) return fail("no pinentry stdout");
  auto& [child_stdin, to_child] = *in_pipe;
  auto& [from_child, child_stdout] = *out_pipe;
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(&actions.value, child_stdin.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions.value, child_stdout.get(), STDOUT_FILENO);
  SpawnAttributes attributes;
  reset_signals(attributes, {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM});
  char* argv[] = {const_cast<char*>(request.program.c_str()), nullptr};
  pid_t pid = 0;
  const int rc =
      posix_spawn(&pid, request.program.c_str(), &actions.value, &attributes.value, argv, environ);
  child_stdin = UniqueFd();
  child_stdout = UniqueFd();
  if (rc != 0) return fail("cannot start {}: {}", request.program, std::strerror(rc));
  std::optional<std::string> gpg_tty;
  gpg_tty = environment_text("GPG_TTY");
  PinentryOutcome outcome =
      pinentry_dialogue(to_child.get(), from_child.get(), request.description, gpg_tty);
  to_child = UniqueFd();
  from_child = UniqueFd();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

}  // namespace

void run_pinentry(PinentryRequest request) {
  // A child that exits early must not end this process with SIGPIPE.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  PinentryOutcome outcome = run_program(request);
  if (!outcome) {
    log_warn(kLog, "pinentry failed ({}), falling back to the built-in dialog", outcome.message());
    (void)request.proxy.send_event(
        make_internal_event("challenge-fallback-dialog", request.description));
  } else if (*outcome) {
    (void)request.proxy.send_event(make_internal_event("challenge-password", std::move(**outcome)));
  } else {
    (void)request.proxy.send_event(make_internal_event("challenge-cancel", ""));
  }
}

}  // namespace nolv
