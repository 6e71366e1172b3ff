#include "client/challenge.h"

#include <sys/stat.h>

#include <cstdlib>

#include "client/client.h"
#include "client/pinentry.h"
#include "net/rand.h"
#include "net/sha256.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/text.h"
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

void Challenge::use_dialog_password(std::optional<std::string> password) {
  dialog_password_ = std::move(password);
}

void Challenge::handle(ActiveEventLoop& loop, Packet& packet) {
  if (pending_salt_ || has_dialog()) {
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
    link_.exit_with(loop, ExitCode::Authentication);
    return;
  }
  if (digest != kDigest || salt_digest != kDigest) {
    log_error(kLog, "server requested an unsupported challenge digest ({}/{})", log_value(digest),
              log_value(salt_digest));
    link_.exit_with(loop, ExitCode::Authentication);
    return;
  }
  pending_salt_ = std::move(server_salt);
  if (dialog_password_ && !dialog_password_->empty()) {
    log_info(kLog, "authenticating with the password from the connection dialog");
    answer(*dialog_password_);
    return;
  }
  if (auto password = non_empty_env("NOLV_PASSWORD")) {
    log_info(kLog, "authenticating with the password from NOLV_PASSWORD");
    answer(*password);
    return;
  }
  std::string description = "Enter " + prompt;
  std::optional<std::string> path_list;
  if (const char* path = std::getenv("PATH")) path_list = path;
  if (auto program = find_pinentry(non_empty_env("PINENTRY_PROGRAM"), path_list)) {
    log_debug(kLog, "prompting for the password via {}", *program);
    Status started = spawn_detached(
        "pinentry",
        [request = PinentryRequest{link_.proxy(), *program, std::move(description)}]() mutable {
          run_pinentry(std::move(request));
        },
        kWorkerStackSize);
    if (!started) fatal(fmt::format("failed to start the pinentry thread: {}", started.message()));
    return;
  }
  open_dialog(loop, description);
}

void Challenge::answer(const std::string& password) {
  if (!pending_salt_) {
    log_warn(kLog, "a password arrived but no challenge is pending");
    return;
  }
  const Bytes server_salt = std::move(*pending_salt_);
  pending_salt_.reset();
  ChallengeAnswer answer = challenge_answer(password, server_salt, random_salt_hex(32));
  log_debug(kLog, "answering authentication challenge");
  link_.send_hello(answer);
}

void Challenge::cancel(ActiveEventLoop& loop) {
  log_error(kLog, "authentication cancelled");
  close_dialog();
  pending_salt_.reset();
  link_.exit_with(loop, ExitCode::Authentication);
}

void Challenge::open_dialog(ActiveEventLoop& loop, const std::string& prompt) {
  if (!link_.resumed()) {
    log_error(kLog, "cannot show the password dialog: no softbuffer context");
    link_.exit_with(loop, ExitCode::Authentication);
    return;
  }
  auto dialog = AuthDialog::create(
      [&loop](const WindowAttributes& attributes) { return loop.create_window(attributes); },
      prompt);
  if (!dialog) {
    log_error(kLog, "cannot show the password dialog: {}", dialog.message());
    link_.exit_with(loop, ExitCode::Authentication);
    return;
  }
  dialog_ = std::move(*dialog);  // an older dialog is dropped here, closing its window
  link_.dialog_changed();
}

void Challenge::close_dialog() {
  dialog_.reset();
  link_.dialog_changed();
}

bool Challenge::route_dialog_event(ActiveEventLoop& loop, WindowId window,
                                   const WindowEvent& event) {
  if (dialog_ == nullptr || dialog_->window->id() != window) return false;
  switch (dialog_->apply_event(event)) {
    case AuthDialog::Outcome::Submit: {
      // A copy, so that the dialog wipes its own before it goes; this one is wiped after use.
      std::string password = dialog_->password;
      dialog_.reset();  // closes the window before the answer is computed
      answer(password);
      wipe_secret(password);
      break;
    }
    case AuthDialog::Outcome::Cancel:
      cancel(loop);
      break;
    case AuthDialog::Outcome::Ignored:
    case AuthDialog::Outcome::Redrawn:
      break;
  }
  return true;
}

ChallengeLink Client::challenge_link() {
  return ChallengeLink{
      .send_hello = [this](const ChallengeAnswer& answer) { send_hello(answer); },
      .exit_with = [this](ActiveEventLoop& loop, ExitCode code) { exit_with(loop, code); },
      .resumed = [this] { return resumed; },
      .dialog_changed = [this] { update_dock_icon(); },
      .proxy = [this] { return proxy; },
  };
}

void Client::handle_challenge(ActiveEventLoop& loop, Packet& packet) {
  challenge.handle(loop, packet);
}

void Client::handle_challenge_password(ActiveEventLoop&, Packet& packet) {
  challenge.answer(packet_get_str(packet.items, 1));
}

void Client::handle_challenge_cancel(ActiveEventLoop& loop, Packet&) {
  challenge.cancel(loop);
}

void Client::handle_challenge_fallback_dialog(ActiveEventLoop& loop, Packet& packet) {
  challenge.open_dialog(loop, packet_get_str(packet.items, 1));
}

bool Client::route_auth_dialog_event(ActiveEventLoop& loop, WindowId window,
                                     const WindowEvent& event) {
  return challenge.route_dialog_event(loop, window, event);
}

}  // namespace nolv
