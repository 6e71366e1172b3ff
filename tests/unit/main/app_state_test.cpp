#include "main/app_state.h"

#include <gtest/gtest.h>

#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

class AppStateTest : public ::testing::Test {
 protected:
  AppStateTest() : state(EventLoopProxy(sink), ConnectOptions{}, slot, false) {
    ensure_test_logger();
  }
  void with_client() {
    state.client = Client::create(state.client_context(), peer.make_transport(), "t", std::nullopt,
                                  std::nullopt);
  }
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<LogForwardSlot> slot = std::make_shared<LogForwardSlot>();
  SocketPeer peer;
  FakeActiveLoop loop;
  AppState state;
};

TEST_F(AppStateTest, BeforeTheSessionOnlyInterruptActs) {
  {
    LogCapture capture;
    state.user_event(loop, packet_of({S("connect-result"), S("")}));
    EXPECT_TRUE(capture.take_lines().empty());
  }
  {
    LogCapture capture;
    state.user_event(loop, packet_of({S("hello"), Yaml::hash({})}));
    state.user_event(loop, packet_of({}));
    const auto lines = capture.take_lines();
    EXPECT_TRUE(any_line_has(lines, "DEBUG [nolv] ignoring Packet"));
    EXPECT_EQ(lines.size(), 2u);
  }
  EXPECT_EQ(loop.exit_requests, 0);
  LogCapture capture;
  state.user_event(loop, make_internal_event("interrupt", "Ctrl-C"));
  EXPECT_TRUE(any_line_has(capture.take_lines(), "INFO  [nolv] caught Ctrl-C"));
  EXPECT_EQ(loop.exit_requests, 1);
  EXPECT_EQ(state.exit_code, ExitCode::Ok);
  state.request_exit(loop, ExitCode::EventLoop);
  EXPECT_EQ(state.exit_code, ExitCode::Ok);
  EXPECT_EQ(session_exit_code(state), ExitCode::Ok);
}

TEST_F(AppStateTest, DuringTheSessionMalformedPacketsAreDropped) {
  with_client();
  LogCapture capture;
  state.user_event(loop, packet_of({}));
  state.user_event(loop, packet_of({I(3), S("x")}));
  state.user_event(loop, packet_of({S("")}));
  const auto lines = capture.take_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("ERROR [nolv::client::client] empty packet!"), std::string::npos);
  EXPECT_NE(lines[1].find("ERROR [nolv::client::client] malformed packet"), std::string::npos);
  EXPECT_NE(lines[2].find("malformed packet"), std::string::npos);
  state.user_event(loop, packet_of({S("ping"), I(7)}));
  EXPECT_TRUE(peer.next());
}

TEST_F(AppStateTest, ExitCodeRule) {
  EXPECT_EQ(session_exit_code(state), ExitCode::Ok);
  state.exit_code = ExitCode::EventLoop;
  EXPECT_EQ(session_exit_code(state), ExitCode::EventLoop);
  with_client();
  EXPECT_EQ(session_exit_code(state), ExitCode::EventLoop);
  state.client->exit_code = ExitCode::Authentication;
  EXPECT_EQ(session_exit_code(state), ExitCode::Authentication);
}

TEST_F(AppStateTest, ResumedStartsTheClientWhenThereIsOne) {
  with_client();
  state.resumed(loop);
  EXPECT_TRUE(state.client->reader_started);
  EXPECT_TRUE(peer.next());  // the first hello
}

}  // namespace
}  // namespace nolv
