// The password dialog inside a session: opening it, and what Enter, Escape and closing do.
#include <gtest/gtest.h>

#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

KeyboardInput typed(std::string text) {
  return KeyboardInput{CharacterKey{std::move(text)}, 0, true, false, false};
}
KeyboardInput key(NamedKey k) {
  return KeyboardInput{k, 0, true, false, false};
}

class AuthDialogSession : public SessionTest {
 protected:
  const Bytes server_salt{1, 2, 3, 4};

  // A challenge with no password at hand and no pinentry program: the dialog asks.
  void open() {
    ScopedEnv password("NOLV_PASSWORD", nullptr), path("PATH", "/nonexistent"),
        program("PINENTRY_PROGRAM", nullptr);
    client->resumed = true;
    dispatch({S("challenge"), S("AQIDBA=="), S(""), S("hmac+sha256"), S("hmac+sha256")});
    ASSERT_TRUE(client->challenge.has_dialog());
  }
  bool send(const WindowEvent& event) {
    return client->route_auth_dialog_event(loop, loop.windows.back()->id(), event);
  }
  // The challenge answer of the hello sent after Enter, checked against `password`.
  void expect_hello_answering(const std::string& password) {
    const auto hello = peer.next();
    ASSERT_TRUE(hello);
    const nlohmann::json& caps = (*hello)[1];
    const std::string client_salt = caps["challenge_client_salt"];
    EXPECT_EQ(caps["challenge_response"],
              challenge_answer(password, server_salt, client_salt).response);
  }
};

TEST_F(AuthDialogSession, EnterClosesTheDialogAndAnswersWithTheTypedPassword) {
  open();
  EXPECT_EQ(loop.windows.size(), 1u);
  EXPECT_EQ(loop.windows[0]->title, "Nolv Authentication");
  for (const char* text : {"s", "e", "c", "r", "e", "t", "!"}) EXPECT_TRUE(send(typed(text)));
  EXPECT_TRUE(send(key(NamedKey::Backspace)));
  EXPECT_TRUE(send(key(NamedKey::Enter)));
  EXPECT_FALSE(client->challenge.has_dialog());
  expect_hello_answering("secret");
  EXPECT_EQ(client->exit_code, std::nullopt);
}

TEST_F(AuthDialogSession, EnterWithNothingTypedAnswersWithTheEmptyPassword) {
  open();
  EXPECT_TRUE(send(key(NamedKey::Enter)));
  expect_hello_answering("");
}

TEST_F(AuthDialogSession, EscapeAndClosingCancelWithExitCode28) {
  for (const WindowEvent& event :
       {WindowEvent{key(NamedKey::Escape)}, WindowEvent{CloseRequested{}}}) {
    SetUp();
    open();
    LogCapture capture;
    EXPECT_TRUE(send(event));
    EXPECT_TRUE(any_line_has(capture.take_lines(), "authentication cancelled"));
    EXPECT_FALSE(client->challenge.has_dialog());
    EXPECT_FALSE(client->challenge.awaiting_password());
    EXPECT_EQ(client->exit_code, ExitCode::Authentication);
    EXPECT_TRUE(peer.drain().empty());
  }
}

TEST_F(AuthDialogSession, EventsOfOtherWindowsAreNotTheDialogs) {
  EXPECT_FALSE(client->route_auth_dialog_event(loop, WindowId{1}, WindowEvent{CloseRequested{}}));
  open();
  EXPECT_FALSE(client->route_auth_dialog_event(loop, WindowId{999}, WindowEvent{CloseRequested{}}));
  EXPECT_TRUE(client->challenge.has_dialog());
  EXPECT_EQ(client->exit_code, std::nullopt);
}

TEST_F(AuthDialogSession, ANewerDialogReplacesTheOlder) {
  open();
  dispatch({S("challenge-fallback-dialog"), S("again")});
  ASSERT_EQ(loop.windows.size(), 2u);
  EXPECT_EQ(client->challenge.dialog()->window, loop.windows[1]);
  EXPECT_EQ(client->challenge.dialog()->prompt, "again");
}

TEST_F(AuthDialogSession, FailuresToOpenEndWithExitCode28) {
  {
    LogCapture capture;
    dispatch({S("challenge-fallback-dialog"), S("Enter password")});  // not resumed yet
    const auto lines = capture.take_lines();
    EXPECT_TRUE(any_line_has(lines,
                             "ERROR [nolv::client::client] cannot show the password "
                             "dialog: no softbuffer context"));
    EXPECT_TRUE(loop.windows.empty());
    EXPECT_EQ(client->exit_code, ExitCode::Authentication);
  }
  SetUp();
  client->resumed = true;
  loop.fail_windows = true;
  LogCapture capture;
  dispatch({S("challenge-fallback-dialog"), S("Enter password")});
  EXPECT_TRUE(any_line_has(capture.take_lines(),
                           "ERROR [nolv::client::client] cannot show the password dialog: failed "
                           "to create auth dialog window: no windows here"));
  EXPECT_FALSE(client->challenge.has_dialog());
  EXPECT_EQ(client->exit_code, ExitCode::Authentication);
}

}  // namespace
}  // namespace nolv
