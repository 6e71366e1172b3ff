#include <gtest/gtest.h>

#include <thread>

#include "client/signals.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using Json = nlohmann::json;

struct EndCase {
  std::vector<Yaml> packet;
  bool startup_complete;
  ExitCode code;
  std::string log;  // a line holding this, or no line at all when empty
};

TEST_F(SessionTest, EveryEndingStoresItsExitCode) {
  using enum ExitCode;
  const std::vector<EndCase> cases = {
      {{S("disconnect")}, true, Ok, "disconnected by the server: "},
      {{S("disconnect"), S("idle timeout")}, true, Ok, "disconnected by the server: idle timeout"},
      {{S("connection-close"), S("login timeout"), S("x")},
       true,
       ServerFailure,
       "server connection failure: login timeout, x"},
      {{S("disconnect"), S("login timeout")}, false, ConnectionFailed, "server connection failure"},
      {{S("disconnect"), S("internal error")}, true, ServerFailure, "server connection failure"},
      {{S("disconnect"), S("internal error")},
       false,
       ConnectionFailed,
       "server connection failure"},
      {{S("disconnect"), S("bye"), S("authentication failed")}, true, Authentication, ""},
      {{S("disconnect"), I(5), S("timeout")}, true, Ok, "disconnected by the server: , timeout"},
      {{S("connection-lost"), S("gone")}, true, ConnectionLost, "connection lost: gone"},
      {{S("connection-lost"), S("gone")}, false, ConnectionFailed, "connection lost: gone"},
      {{S("invalid-packet"), S("bad")}, true, InvalidPacket, "invalid packet received: bad"},
      {{S("invalid-packet"), S("bad")}, false, ConnectionFailed, "invalid packet received: bad"},
      {{S("tray-exit")}, true, Ok, "exit requested from the system tray"},
      {{S("interrupt"), S("Ctrl-C")}, false, Ok, "caught Ctrl-C, disconnecting"},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(to_string(packet_of(c.packet)) + (c.startup_complete ? " after" : " before"));
    SetUp();
    client->startup_complete = c.startup_complete;
    LogCapture capture;
    dispatch(c.packet);
    const auto lines = capture.take_lines();
    EXPECT_EQ(client->exit_code, c.code);
    EXPECT_EQ(loop.exit_requests, 1);
    loop.exit_requests = 0;
    if (c.log.empty()) {
      EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
      EXPECT_TRUE(any_line_has(lines, c.log));
    }
  }
}

TEST_F(SessionTest, ClientClosesSendConnectionCloseWithTheirReason) {
  dispatch({S("interrupt"), S("Ctrl-C")});
  EXPECT_EQ(peer.next(), Json::parse(R"(["connection-close","client interrupted"])"));
  SetUp();
  dispatch({S("tray-exit"), S("")});
  EXPECT_EQ(peer.next(), Json::parse(R"(["connection-close","client exit"])"));
}

TEST_F(SessionTest, TheFirstStoredCodeWinsAndLaterWritesAreDropped) {
  client->startup_complete = true;
  dispatch({S("invalid-packet"), S("bad")});
  dispatch({S("disconnect"), S("authentication failed")});
  dispatch({S("ping"), I(5)});
  EXPECT_EQ(client->exit_code, ExitCode::InvalidPacket);
  EXPECT_EQ(loop.exit_requests, 2);
  EXPECT_TRUE(peer.drain().empty());
}

TEST_F(SessionTest, ConnectionLostAfterTrayExitIsQuietAndKeepsZero) {
  dispatch({S("tray-exit")});
  LogCapture capture;
  dispatch({S("connection-lost"), S("connection closed by the server")});
  EXPECT_FALSE(any_line_has(capture.take_lines(), "connection lost"));
  EXPECT_EQ(client->exit_code, ExitCode::Ok);
}

// The code is stored at the failure: what the loop handles before the posted event (here a
// disconnect that would store 0) cannot change it, and the event adds no second warning.
TEST_F(SessionTest, AFailedWriteStoresItsCodeAtOnceAndIsReportedOnce) {
  for (bool complete : {false, true}) {
    SetUp();
    if (complete) dispatch({S("startup-complete")});
    peer.close();
    LogCapture capture;
    dispatch({S("send-ping")});
    (void)client->writer->wait_idle(std::chrono::seconds(10));  // the write fails meanwhile
    dispatch({S("disconnect"), S("done")});
    std::vector<Packet> posted = sink->take();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(packet_get_str(posted[0].items, 0), "connection-lost");
    client->dispatch_packet(loop, "connection-lost", std::move(posted[0]));
    dispatch({S("send-ping")});
    const auto lines = capture.take_lines();
    EXPECT_EQ(client->exit_code, complete ? ExitCode::ConnectionLost : ExitCode::ConnectionFailed);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                              return l.find("failed to send packet to the server: ") !=
                                     std::string::npos;
                            }),
              1);
    EXPECT_FALSE(any_line_has(lines, "connection lost"));
  }
}

TEST_F(SessionTest, PingIsEchoedWithTheLastRoundTrip) {
  dispatch({S("ping"), I(1234), I(0)});
  EXPECT_EQ(peer.next(), Json::parse(R"(["ping-echo",1234,0,0,0,-1,""])"));
  client->round_trip_ms = 17;
  dispatch({S("ping"), I(99), I(0), S("abc")});
  EXPECT_EQ(peer.next(), Json::parse(R"(["ping-echo",99,0,0,0,17,"abc"])"));
  dispatch({S("ping"), S("not a number")});
  EXPECT_EQ(peer.next(), Json::parse(R"(["ping-echo",0,0,0,0,17,""])"));
}

TEST_F(SessionTest, PingEchoMeasuresTheRoundTripAndIgnoresTheFuture) {
  client->started_at -= std::chrono::seconds(10);
  dispatch({S("ping_echo"), I(1000000)});
  EXPECT_EQ(client->round_trip_ms, -1);
  dispatch({S("ping-echo"), I(4000)});
  EXPECT_GE(client->round_trip_ms, 6000);
  EXPECT_LT(client->round_trip_ms, 7000);
}

TEST_F(SessionTest, SendPingAndSendLogCarryMillisecondsSinceStart) {
  client->started_at -= std::chrono::milliseconds(2500);
  dispatch({S("send-ping"), S("")});
  const auto ping = peer.next();
  ASSERT_TRUE(ping);
  EXPECT_EQ((*ping)[0], "ping");
  EXPECT_GE((*ping)[1].get<std::uint64_t>(), 2500u);
  EXPECT_LT((*ping)[1].get<std::uint64_t>(), 3500u);
  dispatch({S("send-log"), I(30), S("careful")});
  const auto log = peer.next();
  ASSERT_TRUE(log);
  EXPECT_EQ(log->size(), 4u);
  EXPECT_EQ((*log)[0], "logging-event");
  EXPECT_EQ((*log)[1], 30);
  EXPECT_EQ((*log)[2], "careful");
  EXPECT_GE((*log)[3].get<std::uint64_t>(), 2500u);
}

TEST_F(SessionTest, StartupCompleteStartsThePingThreadOnceAndOnlyWhenAsked) {
  {
    LogCapture capture;
    dispatch({S("startup-complete")});
    const auto lines = capture.take_lines();
    EXPECT_TRUE(any_line_has(lines, "startup complete!"));
    EXPECT_TRUE(any_line_has(lines, "not sending pings: the server does not want them"));
  }
  EXPECT_TRUE(client->startup_complete);
  EXPECT_FALSE(client->ping_started);
  SetUp();
  client->server_ping = true;
  dispatch({S("startup-complete")});
  EXPECT_TRUE(client->ping_started);
  client->ping_started = false;
  LogCapture capture;
  dispatch({S("startup-complete")});
  EXPECT_TRUE(any_line_has(capture.take_lines(), "startup complete!"));
  EXPECT_FALSE(client->ping_started);
  sink->close();  // ends the ping thread at its first post
}

TEST_F(SessionTest, EncodingsWarnOnlyWithoutACommonPictureEncoding) {
  auto caps_with = [](Yaml::Hash encodings) {
    return Yaml::hash({{S("encodings"), Yaml::hash(std::move(encodings))}});
  };
  struct Case {
    std::vector<Yaml> packet;
    std::string warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {{S("encodings")}, "ignoring malformed encoding-set packet with no capabilities"},
      {{S("encodings"), Yaml::hash({})}, "the server advertised no picture encodings: Hash({})"},
      {{S("encoding-set"),
        caps_with({{S("core"), Yaml::array({})}, {S(""), Yaml::array({S("png")})}})},
       ""},
      {{S("encodings"), caps_with({{S("core"), Yaml::array({S("vp9"), I(3), S("rgb")})}})},
       "no picture encoding in common with the server: it can send vp9, rgb, this client "
       "decodes jpeg, png, webp, h264"},
      {{S("encodings"), caps_with({{S("core"), Yaml::array({S("rgb"), S("h264")})}})}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(to_string(packet_of(c.packet)));
    LogCapture capture;
    dispatch(c.packet);
    const auto lines = capture.take_lines();
    const bool warned = any_line_has(lines, " WARN ");
    EXPECT_EQ(warned, !c.warning.empty());
    if (!c.warning.empty()) {
      EXPECT_TRUE(any_line_has(lines, c.warning));
    }
  }
  EXPECT_EQ(client->exit_code, std::nullopt);
}

TEST_F(SessionTest, ServerEventsAndSettingChanges) {
  struct Case {
    std::vector<Yaml> packet;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{S("server-event")}, "ignoring malformed server-event packet with no event type"},
      {{S("events"), I(4)}, "ignoring malformed server-event packet with an invalid event type"},
      {{S("server-event"), S("")}, "with an invalid event type"},
      {{S("server-event"), S("wake")}, "INFO  [nolv::client::client] server event: wake"},
      {{S("server-event"), S("wake"), I(1), S("x")},
       "server event wake arguments: [Integer(1), String(\"x\")]"},
      {{S("setting-change"), S("xsettings")}, "ignoring setting-change: xsettings"},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    dispatch(c.packet);
    EXPECT_TRUE(any_line_has(capture.take_lines(), c.line)) << c.line;
  }
}

TEST_F(SessionTest, UnknownNamesWarnAndPendingRequestsAreSilent) {
  {
    LogCapture capture;
    dispatch({S("clipboard-pending-requests"), I(1)});
    EXPECT_TRUE(capture.take_lines().empty());
  }
  LogCapture capture;
  dispatch({S("Hello")});
  const auto lines = capture.take_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("WARN  [nolv::client::client] unhandled packet type Hello"),
            std::string::npos);
  EXPECT_TRUE(peer.drain().empty());
  EXPECT_EQ(client->exit_code, std::nullopt);
}

// A server that names its packets like the program's own events gets the unknown-type warning
// and nothing else: no reply, no exit, no posted event.
TEST_F(SessionTest, ServerPacketsNamedLikeInternalEventsAreRefused) {
  client->startup_complete = true;
  for (const char* name :
       {"draw-decoded", "present-windows", "draw-failed", "decoding-failed", "connect-result",
        "clipboard-changed", "challenge-password", "challenge-cancel", "challenge-fallback-dialog",
        "send-ping", "send-log", "tray-exit", "interrupt", "connection-lost", "invalid-packet",
        "audio-latency", "audio-worker-failed"}) {
    SCOPED_TRACE(name);
    Packet p = packet_of({S(name), S("payload"), S("x")});
    p.from_server = true;
    LogCapture capture;
    client->dispatch_packet(loop, name, std::move(p));
    const auto lines = capture.take_lines();
    ASSERT_EQ(lines.size(), 1u) << lines.front();
    EXPECT_NE(
        lines[0].find(std::string("WARN  [nolv::client::client] unhandled packet type ") + name),
        std::string::npos);
    EXPECT_TRUE(peer.drain().empty());
    EXPECT_TRUE(posted_names().empty());
    EXPECT_EQ(client->exit_code, std::nullopt);
    EXPECT_EQ(loop.exit_requests, 0);
  }
}

TEST(InternalEvent, HasTwoStringItemsAndNothingElse) {
  const Packet p = make_internal_event("interrupt", "Ctrl-C");
  EXPECT_EQ(p.items, (std::vector<Yaml>{Yaml::string("interrupt"), Yaml::string("Ctrl-C")}));
  EXPECT_TRUE(p.chunks.empty());
  EXPECT_FALSE(p.decode_time_us);
}

}  // namespace
}  // namespace nolv
