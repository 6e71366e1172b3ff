#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fakes/active_event_loop.h"
#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "main/app_state.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

struct FlowFixture {
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  FakeActiveLoop loop;
  AppState state{EventLoopProxy(sink), ConnectOptions{}, std::make_shared<LogForwardSlot>(), false};
  LogCapture capture;

  void key(LogicalKey k) {
    state.window_event(loop, dialog_window(), KeyboardInput{std::move(k), 0, true, false, false});
  }
  void type(std::string_view text) {
    for (char c : text) key(CharacterKey{std::string(1, c)});
  }
  WindowId dialog_window() const { return loop.windows.at(0)->id(); }
  // Waits (bounded) for the "connect" thread's event and hands it to the handler.
  bool deliver_connect_result() {
    for (int i = 0; i < 500; ++i) {
      for (Packet& p : sink->take()) {
        if (packet_get_str(p.items, 0) == "connect-result") {
          state.user_event(loop, std::move(p));
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// A port on which nothing listens: bound, then closed.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(ConnectFlow, ResumedOpensOneDialogAndCancelEndsWithZero) {
  FlowFixture f;
  f.state.resumed(f.loop);
  f.state.resumed(f.loop);
  ASSERT_EQ(f.loop.windows.size(), 1u);
  EXPECT_EQ(f.loop.windows[0]->title, "Connect to an Nolv server");
  EXPECT_FALSE(f.loop.windows[0]->resizable);
  EXPECT_TRUE(f.state.resumed_flag);
  f.state.window_event(f.loop, f.dialog_window(), CloseRequested{});
  EXPECT_EQ(f.state.exit_code, ExitCode::Ok);
  EXPECT_EQ(f.loop.exit_requests, 1);
  EXPECT_TRUE(any_line_has(f.capture.take_lines(), "INFO  [nolv] connection cancelled"));
}

TEST(ConnectFlow, AWindowThatCannotBeCreatedEndsWith14) {
  FlowFixture f;
  f.loop.fail_windows = true;
  f.state.resumed(f.loop);
  EXPECT_EQ(f.state.exit_code, ExitCode::EventLoop);
  EXPECT_TRUE(any_line_has(f.capture.take_lines(),
                           "ERROR [nolv::client::connect_dialog] failed to create the connection "
                           "dialog window: no windows here"));
}

TEST(ConnectFlow, AFailedConnectShowsTheErrorAndTheDialogStaysUsable) {
  FlowFixture f;
  f.state.resumed(f.loop);
  f.type("127.0.0.1");
  f.key(NamedKey::Tab);
  for (int i = 0; i < 5; ++i) f.key(NamedKey::Backspace);
  const std::string port = std::to_string(closed_port());
  f.type(port);
  f.key(NamedKey::Enter);
  const std::string url = "tcp://127.0.0.1:" + port + "/";
  ASSERT_TRUE(std::holds_alternative<StatusConnecting>(f.state.connect_dialog->status()));
  ASSERT_TRUE(f.deliver_connect_result());
  EXPECT_EQ(f.state.client, nullptr);
  ASSERT_NE(f.state.connect_dialog, nullptr);
  const auto* error = std::get_if<StatusError>(&f.state.connect_dialog->status());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->message,
            "failed to connect to \"127.0.0.1:" + port + "\": Connection refused (os error 111)");
  // A second connect-result with nothing pending is ignored without a line.
  f.state.user_event(f.loop, make_internal_event("connect-result", ""));
  const auto lines = f.capture.take_lines();
  EXPECT_TRUE(any_line_has(lines, "INFO  [nolv] connecting to " + url));
  EXPECT_TRUE(any_line_has(lines, "ERROR [nolv] failed to connect to"));
  EXPECT_FALSE(any_line_has(lines, "no connection result"));
}

TEST(ConnectFlow, ASuccessfulConnectBuildsTheClientAndClosesTheDialog) {
  FlowFixture f;
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  // The Client's reader must not run here: the test only checks who owns what.
  f.state.services.reader_body = [](Transport, EventLoopProxy, std::shared_ptr<Backlog>) {};
  f.state.services.audio_worker_body = [](AudioWorkerContext context) {
    context.probe(fail("no audio in this test"));
  };
  f.state.resumed(f.loop);
  f.type("127.0.0.1");
  f.key(NamedKey::Tab);
  for (int i = 0; i < 5; ++i) f.key(NamedKey::Backspace);
  f.type(std::to_string(ntohs(addr.sin_port)));
  f.key(NamedKey::Tab);
  f.type("me");
  f.key(NamedKey::Tab);
  f.type(" pw ");
  f.key(NamedKey::Enter);
  ASSERT_TRUE(f.deliver_connect_result());
  ASSERT_NE(f.state.client, nullptr);
  EXPECT_EQ(f.state.connect_dialog, nullptr);
  EXPECT_EQ(f.state.client->username, std::optional<std::string>("me"));
  EXPECT_EQ(f.state.client->challenge.dialog_password(), std::optional<std::string>("pw"));
  EXPECT_TRUE(f.state.client->resumed);
  EXPECT_FALSE(f.state.resumed_flag);
  ::close(listener);
}

// A server that accepts and never answers the upgrade: the step gives up at its deadline (made
// short here), the dialog shows why and takes the next attempt.
TEST(ConnectFlow, ASilentServerIsGivenUpAtTheDeadlineAndTheUserMayRetry) {
  FlowFixture f;
  f.state.connect_options.step_deadline = std::chrono::milliseconds(300);
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin_port));
  f.state.resumed(f.loop);
  f.type("127.0.0.1");
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);  // around to Protocol
  f.key(NamedKey::ArrowDown);
  f.key(NamedKey::ArrowDown);  // ws
  f.key(NamedKey::Tab);
  f.key(NamedKey::Tab);
  for (int i = 0; i < 5; ++i) f.key(NamedKey::Backspace);
  f.type(port);
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    f.key(NamedKey::Enter);
    ASSERT_TRUE(std::holds_alternative<StatusConnecting>(f.state.connect_dialog->status()));
    ASSERT_TRUE(f.deliver_connect_result());
    ASSERT_NE(f.state.connect_dialog, nullptr);
    const auto* error = std::get_if<StatusError>(&f.state.connect_dialog->status());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->message, "websocket handshake failed: the server did not answer within 300ms");
  }
  EXPECT_TRUE(any_line_has(f.capture.take_lines(),
                           "INFO  [nolv] connecting to ws://127.0.0.1:" + port + "/"));
  ::close(listener);
}

}  // namespace
}  // namespace nolv
