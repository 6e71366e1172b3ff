// The server's password challenge: where the password comes from (the connection dialog,
// NOLV_PASSWORD, a pinentry program, the password dialog), the answer, the cancellation.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/auth_dialog.h"
#include "net/packet.h"
#include "platform/event_proxy.h"
#include "platform/window.h"
#include "util/exit_code.h"

namespace nolv {

class ActiveEventLoop;

// Handed from the challenge answer to the hello: 64 lower-case hex characters each.
struct ChallengeAnswer {
  std::string response;
  std::string client_salt;
};

// What the challenge needs of its session.
struct ChallengeLink {
  // Sends the hello again, now carrying the answer.
  std::function<void(const ChallengeAnswer& answer)> send_hello;
  std::function<void(ActiveEventLoop& loop, ExitCode code)> exit_with;
  // Whether the session has been resumed, so that it may make windows.
  std::function<bool()> resumed;
  // Called after the password dialog has opened or closed; the dock icon follows it.
  std::function<void()> dialog_changed;
  // Where the pinentry thread posts its outcome.
  std::function<EventLoopProxy()> proxy;
};

// Event-loop thread only, as its session.
class Challenge {
 public:
  explicit Challenge(ChallengeLink link) : link_(std::move(link)) {}

  // The password the connection dialog was given; it answers the first challenge.
  void use_dialog_password(std::optional<std::string> password);
  const std::optional<std::string>& dialog_password() const { return dialog_password_; }

  // The server's "challenge" packet.
  void handle(ActiveEventLoop& loop, Packet& packet);
  // Answers the waiting challenge with `password`; a password without one is only logged.
  void answer(const std::string& password);
  // Closes the dialog, forgets the challenge and ends the session with 28.
  void cancel(ActiveEventLoop& loop);
  // Whether a challenge waits for its password.
  bool awaiting_password() const { return pending_salt_.has_value(); }

  // The password dialog; on failure "cannot show the password dialog: {reason}" and 28.
  void open_dialog(ActiveEventLoop& loop, const std::string& prompt);
  const AuthDialog* dialog() const { return dialog_.get(); }
  bool has_dialog() const { return dialog_ != nullptr; }
  // Hands the event to the password dialog when `window` is its window; false otherwise.
  bool route_dialog_event(ActiveEventLoop& loop, WindowId window, const WindowEvent& event);

 private:
  void close_dialog();

  ChallengeLink link_;
  std::optional<std::string> dialog_password_;
  std::optional<Bytes> pending_salt_;
  // Open while the user is asked for the password.
  std::unique_ptr<AuthDialog> dialog_;
};

// Where the password prompter is: PINENTRY_PROGRAM as it stands when it holds a slash, else the
// first of PINENTRY_PROGRAM, "pinentry", "pinentry-mac" found in a directory of `path_list`
// (directories are the outer loop; an empty entry is the current directory).
std::optional<std::string> find_pinentry(const std::optional<std::string>& pinentry_program,
                                         const std::optional<std::string>& path_list);
// The two HMAC steps of the challenge answer with a given client salt.
ChallengeAnswer challenge_answer(std::string_view password, const Bytes& server_salt,
                                 std::string client_salt);

}  // namespace nolv
