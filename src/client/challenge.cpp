// The server's password challenge: password sources, the answer, the cancellation.
#include <sys/stat.h>

#include <cstdlib>

#include "client/client.h"
#include "client/pinentry.h"
#include "net/rand.h"
#include "net/sha256.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";
constexpr std::string_view kDigest = "hmac+sha256";

std::optional<std::string> non_empty_env(const char* name) {
  auto value = environment_text(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> find_pinentry(const std::optional<std::string>& pinentry_program,
                                         const std::optional<std::string>& path_list) {
  std::vector<std::string> candidates;
  if (pinentry_program && !pinentry_program->empty()) {
    // A name with a slash is a path of its own, as the shell takes it: used as it is, not
    // searched. When it names no program the usual names are still looked for.
    if (pinentry_program->find('/') != std::string::npos) {
      if (is_regular_file(*pinentry_program)) return *pinentry_program;
    } else {
      candidates.push_back(*pinentry_program);
    }
  }
  candidates.push_back("pinentry");
  candidates.push_back("pinentry-mac");
  if (!path_list) return std::nullopt;
  std::string_view rest = *path_list;
  while (true) {
    const std::size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    // An empty entry of a POSIX path list is the current directory, as for the shell.
    if (dir.empty()) dir = ".";
    for (const std::string& candidate : candidates) {
      for (std::string_view suffix : {"", ".exe"}) {
        std::string path = dir + "/" + candidate + std::string(suffix);
        if (is_regular_file(path)) return path;
      }
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

ChallengeAnswer challenge_answer(std::string_view password, const Bytes& server_salt,
                                 std::string client_salt) {
  const std::string salt = hmac_sha256_hex(
      std::span(reinterpret_cast<const std::uint8_t*>(client_salt.data()), client_salt.size()),
      std::span<const std::uint8_t>(server_salt));
  std::string response = hmac_sha256_hex(password, salt);
  return ChallengeAnswer{std::move(response), std::move(client_salt)};
}

void Client::handle_challenge(ActiveEventLoop& loop, Packet& packet) {
  if (pending_salt || has_auth_dialog()) {
    log_warn(kLog, "ignoring repeated challenge");
    return;
  }
  Bytes server_salt = packet_get_bytes(packet, 1);
  const std::string digest = packet_get_str(packet.items, 3);
  const std::string salt_digest =
      packet.items.size() >= 5 ? packet_get_str(packet.items, 4) : "xor";
  const std::string prompt =
      packet.items.size() >= 6 ? packet_get_str(packet.items, 5) : "password";
  if (server_salt.empty()) {
    log_error(kLog, "authentication challenge has no server salt");
    exit_with(loop, ExitCode::Authentication);
    return;
  }
  if (digest != kDigest || salt_digest != kDigest) {
    log_error(kLog, "server requested an unsupported challenge digest ({}/{})", log_value(digest),
              log_value(salt_digest));
    exit_with(loop, ExitCode::Authentication);
    return;
  }
  pending_salt = std::move(server_salt);
  if (dialog_password && !dialog_password->empty()) {
    log_info(kLog, "authenticating with the password from the connection dialog");
    answer_challenge(*dialog_password);
    return;
  }
  if (auto password = non_empty_env("NOLV_PASSWORD")) {
    log_info(kLog, "authenticating with the password from NOLV_PASSWORD");
    answer_challenge(*password);
    return;
  }
  std::string description = "Enter " + prompt;
  std::optional<std::string> path_list;
  if (const char* path = std::getenv("PATH")) path_list = path;
  if (auto program = find_pinentry(non_empty_env("PINENTRY_PROGRAM"), path_list)) {
    log_debug(kLog, "prompting for the password via {}", *program);
    Status started = spawn_detached(
        "pinentry",
        [request = PinentryRequest{proxy, *program, std::move(description)}]() mutable {
          run_pinentry(std::move(request));
        },
        kWorkerStackSize);
    if (!started) fatal(fmt::format("failed to start the pinentry thread: {}", started.message()));
    return;
  }
  open_auth_dialog(loop, description);
}

void Client::answer_challenge(const std::string& password) {
  if (!pending_salt) {
    log_warn(kLog, "a password arrived but no challenge is pending");
    return;
  }
  const Bytes server_salt = std::move(*pending_salt);
  pending_salt.reset();
  ChallengeAnswer answer = challenge_answer(password, server_salt, random_salt_hex(32));
  log_debug(kLog, "answering authentication challenge");
  send_hello(answer);
}

void Client::auth_cancelled(ActiveEventLoop& loop) {
  log_error(kLog, "authentication cancelled");
  close_auth_dialog();
  update_dock_icon();
  pending_salt.reset();
  exit_with(loop, ExitCode::Authentication);
}

void Client::handle_challenge_password(ActiveEventLoop&, Packet& packet) {
  answer_challenge(packet_get_str(packet.items, 1));
}

void Client::handle_challenge_cancel(ActiveEventLoop& loop, Packet&) {
  auth_cancelled(loop);
}

void Client::handle_challenge_fallback_dialog(ActiveEventLoop& loop, Packet& packet) {
  open_auth_dialog(loop, packet_get_str(packet.items, 1));
}

}  // namespace nolv
