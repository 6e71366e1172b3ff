#include "net/websocket.h"

#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "net/connect.h"
#include "unit/net/transport_test_util.h"

namespace nolv {
namespace {

using test::Listener;

std::string text_of(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

TEST(WebsocketKeys, AcceptKeyIsTheRfcExample) {
  EXPECT_EQ(websocket_accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebsocketKeys, RandomValuesDifferAndKeysAreSixteenBytes) {
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(ws_random_u64());
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_NE(ws_key_bytes(), ws_key_bytes());
}

TEST(WebsocketRequest, IsExactlyTheUpgradeText) {
  Target t = test::tcp_target("example.org:8080", TargetKind::Ws);
  EXPECT_EQ(ws_upgrade_request(t, "KEY"),
            "GET / HTTP/1.1\r\nHost: example.org:8080\r\nUpgrade: websocket\r\nConnection: "
            "Upgrade\r\nSec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Protocol: binary\r\n\r\n");
  t.path = "/x/y";
  EXPECT_TRUE(ws_upgrade_request(t, "KEY").starts_with("GET /x/y HTTP/1.1\r\n"));
}

TEST(WebsocketFrame, LengthFormsAndMasking) {
  struct Case {
    std::size_t length;
    std::vector<std::uint8_t> head;
  };
  const std::vector<Case> cases = {
      {0, {0x82, 0x80}},
      {125, {0x82, 0xFD}},
      {126, {0x82, 0xFE, 0x00, 0x7E}},
      {65535, {0x82, 0xFE, 0xFF, 0xFF}},
      {65536, {0x82, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  const std::array<std::uint8_t, 4> mask = {0x01, 0x02, 0x04, 0x80};
  for (const Case& c : cases) {
    std::vector<std::uint8_t> payload(c.length);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    const auto frame = ws_encode_frame(WsOpcode::Binary, payload, mask);
    ASSERT_EQ(frame.size(), c.head.size() + 4 + c.length) << c.length;
    EXPECT_TRUE(std::equal(c.head.begin(), c.head.end(), frame.begin())) << c.length;
    EXPECT_TRUE(std::equal(mask.begin(), mask.end(), frame.begin() + c.head.size()));
    for (std::size_t i = 0; i < c.length; ++i) {
      ASSERT_EQ(frame[c.head.size() + 4 + i] ^ mask[i % 4], payload[i]) << c.length << " " << i;
    }
  }
  EXPECT_EQ(ws_encode_frame(WsOpcode::Pong, {}, mask)[0], 0x8A);
}

// A websocket server from python3-websockets running one scenario.
struct PythonPeer {
  test::Spawned process;
  std::uint16_t port = 0;

  explicit PythonPeer(const std::string& scenario, const std::string& cert = {},
                      const std::string& key = {}) {
    std::vector<std::string> argv = {
        "/usr/bin/python3", std::string(NOLV_TEST_DATA) + "/transport/ws_peer.py", scenario};
    if (!cert.empty()) argv.insert(argv.end(), {cert, key});
    process = test::spawn_with_stdout(argv);
    if (auto line = test::wait_for_line(process.out.get(), "PORT ")) {
      port = static_cast<std::uint16_t>(std::stoi(*line));
    }
  }
  Target target(TargetKind kind = TargetKind::Ws) const {
    return test::tcp_target(fmt::format("127.0.0.1:{}", port), kind);
  }
};

struct Pair {
  Transport writer;
  Transport reader;
};

Pair open_pair(const Target& target, bool insecure = false) {
  auto opened = connect(target, insecure, {});
  EXPECT_TRUE(opened) << opened.error().message;
  if (!opened) return {};
  auto reader = opened.value().try_clone();
  EXPECT_TRUE(reader) << reader.message();
  return {std::move(opened).value(), std::move(reader).value()};
}

std::string read_text(Transport& t, std::size_t n) {
  std::vector<std::uint8_t> buffer(n);
  auto s = conn_read_exact(t, buffer);
  if (!s) return "error: " + s.message();
  return text_of(buffer);
}

void expect_echo_of_every_length_form(Pair& pair) {
  for (std::size_t length : {1u, 125u, 126u, 65535u, 65536u, 300000u}) {
    std::vector<std::uint8_t> message(length);
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<std::uint8_t>(i * 7 + 3);
    ASSERT_TRUE(transport_write_all(pair.writer, message)) << length;
    // Read in two pieces: the first from a fresh message, the rest from the buffer.
    std::vector<std::uint8_t> back(length);
    const std::size_t first = std::min<std::size_t>(8, length);
    ASSERT_TRUE(conn_read_exact(pair.reader, std::span(back).first(first))) << length;
    ASSERT_TRUE(conn_read_exact(pair.reader, std::span(back).subspan(first))) << length;
    EXPECT_EQ(back, message) << length;
  }
}

TEST(WebsocketPeer, EchoOfEveryLengthForm) {
  PythonPeer peer("echo");
  ASSERT_NE(peer.port, 0);
  Pair pair = open_pair(peer.target());
  EXPECT_EQ(pair.writer.tag(), 2u);
  expect_echo_of_every_length_form(pair);
}

TEST(WebsocketPeer, FragmentedMessageWithAPingBetweenIsOneMessage) {
  PythonPeer peer("fragmented");
  ASSERT_NE(peer.port, 0);
  Pair pair = open_pair(peer.target());
  ASSERT_TRUE(transport_write_all(pair.writer, test::bytes_of("go")));
  EXPECT_EQ(read_text(pair.reader, 18), "first-second-third");
  // Sent by the server only after it received the pong for its ping.
  EXPECT_EQ(read_text(pair.reader, 7), "pong-ok");
}

TEST(WebsocketPeer, CloseEndsTheRead) {
  PythonPeer peer("close");
  ASSERT_NE(peer.port, 0);
  Pair pair = open_pair(peer.target());
  EXPECT_EQ(read_text(pair.reader, 8), "error: websocket closed by peer");
}

TEST(WebsocketPeer, PongsNeverLandInsideTheWritersFrames) {
  PythonPeer peer("pingflood");
  ASSERT_NE(peer.port, 0);
  Pair pair = open_pair(peer.target());
  std::string reply;
  // The reader answers every ping while the writer streams large frames.
  std::thread reading([&] { reply = read_text(pair.reader, 9); });
  constexpr int kMessages = 300;
  for (int i = 0; i < kMessages; ++i) {
    const std::vector<std::uint8_t> message(20000 + i, static_cast<std::uint8_t>(i % 256));
    ASSERT_TRUE(transport_write_all(pair.writer, message)) << i;
  }
  ASSERT_TRUE(transport_write_all(pair.writer, test::bytes_of("end")));
  reading.join();
  EXPECT_EQ(reply, fmt::format("count {}", kMessages));
}

TEST(WebsocketPeer, SecureWebsocketEchoes) {
  test::TempDir dir;
  ASSERT_EQ(std::system(("cd " + dir.path() +
                         " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                         "-nodes -keyout k.pem -out c.pem -days 2 -subj /CN=localhost "
                         ">/dev/null 2>&1")
                            .c_str()),
            0);
  PythonPeer peer("echo", dir.file("c.pem"), dir.file("k.pem"));
  ASSERT_NE(peer.port, 0);
  Target target = peer.target(TargetKind::Wss);
  target.path = "/some/path";
  auto strict = connect(target, false, {});
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error().code, ExitCode::TlsFailure);
  Pair pair = open_pair(target, true);
  EXPECT_EQ(pair.writer.tag(), 3u);
  expect_echo_of_every_length_form(pair);
}

// A hand-written server: reads the request, answers with `respond(accept)` in one write, then
// keeps the connection until the test is done with it.
class RawPeer {
 public:
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;
  using Respond = std::function<std::string(const std::string& accept)>;
  explicit RawPeer(Respond respond) {
    thread_ = std::thread([this, respond = std::move(respond)] {
      peer_ = listener_.accept();
      if (!peer_.valid()) return;
      std::string request;
      while (!request.ends_with("\r\n\r\n")) {
        const std::string byte = test::recv_some(peer_.get(), 1);
        if (byte.empty()) return;
        request += byte;
      }
      request_ = request;
      const auto at = request.find("Sec-WebSocket-Key: ");
      if (at == std::string::npos) return;
      key_ = request.substr(at + 19, 24);
      test::send_all(peer_.get(), respond(websocket_accept_key(key_)));
      if (close_after_response_) ::shutdown(peer_.get(), SHUT_WR);
    });
  }
  ~RawPeer() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  Target target() const {
    return test::tcp_target(fmt::format("127.0.0.1:{}", listener_.port()), TargetKind::Ws);
  }
  int peer() const { return peer_.get(); }
  const std::string& request() const { return request_; }
  const std::string& key() const { return key_; }

 private:
  Listener listener_;
  UniqueFd peer_;
  std::string request_;
  std::string key_;
  bool close_after_response_ = false;
  std::thread thread_;
};

std::string switching(const std::string& accept) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         accept + "\r\n\r\n";
}

std::string frame(std::uint8_t first, std::string_view payload) {
  std::string out(1, static_cast<char>(first));
  out += static_cast<char>(payload.size());
  out += payload;
  return out;
}

TEST(WebsocketHandshake, FailuresFromAHandWrittenServer) {
  struct Case {
    const char* name;
    RawPeer::Respond respond;
    std::function<std::string(const std::string& accept)> cause;
  };
  const std::vector<Case> cases = {
      {"status 200", [](const std::string&) { return std::string("HTTP/1.1 200 OK\r\n\r\n"); },
       [](const std::string&) {
         return std::string("unexpected websocket handshake response: HTTP/1.1 200 OK");
       }},
      {"no accept",
       [](const std::string&) { return std::string("HTTP/1.1 101 Switching\r\nX: y\r\n\r\n"); },
       [](const std::string& accept) {
         return fmt::format("invalid Sec-WebSocket-Accept: got None, expected \"{}\"", accept);
       }},
      {"wrong accept",
       [](const std::string& accept) {
         return "HTTP/1.1 101 Switching\r\nSec-WebSocket-Accept: AAAA\r\nsec-websocket-accept: " +
                accept + "x\r\n\r\n";
       },
       [](const std::string& accept) {
         // The later header replaces the earlier one.
         return fmt::format("invalid Sec-WebSocket-Accept: got Some(\"{}x\"), expected \"{}\"",
                            accept, accept);
       }},
      {"too large",
       [](const std::string&) {
         return "HTTP/1.1 101 Switching\r\nX: " + std::string(9000, 'a') + "\r\n\r\n";
       },
       [](const std::string&) { return std::string("websocket handshake response too large"); }},
      {"cut short", [](const std::string&) { return std::string("HTTP/1.1 101 Sw"); },
       [](const std::string&) { return std::string("failed to fill whole buffer"); }},
  };
  for (const Case& c : cases) {
    RawPeer peer(c.respond);
    Target target = peer.target();
    std::thread closer;
    auto result = [&] {
      // The peer keeps its end open; "cut short" needs it closed after the response.
      if (std::string_view(c.name) == "cut short") {
        closer = std::thread([&] {
          peer.join();
          ::shutdown(peer.peer(), SHUT_WR);
        });
      }
      return connect(target, false, {});
    }();
    if (closer.joinable()) closer.join();
    peer.join();
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().code, ExitCode::ConnectionFailed);
    EXPECT_EQ(result.error().message,
              "websocket handshake failed: " + c.cause(websocket_accept_key(peer.key())))
        << c.name;
  }
}

TEST(WebsocketHandshake, RequestIsExactAndHeaderNameCaseIsFree) {
  RawPeer peer([](const std::string& accept) {
    return "HTTP/1.1 101 Switching Protocols\r\nSEC-WEBSOCKET-ACCEPT:   " + accept + "  \r\n\r\n" +
           frame(0x82, "first");
  });
  Target target = peer.target();
  target.path = "/x/y";
  auto opened = connect(target, false, {});
  peer.join();
  ASSERT_TRUE(opened) << opened.error().message;
  EXPECT_EQ(peer.request(), ws_upgrade_request(target, peer.key()));
  // The frame that came in the same segment as the response is not lost.
  EXPECT_EQ(read_text(opened.value(), 5), "first");
}

// Frames that the python server never sends, from the hand-written one.
TEST(WebsocketReader, FramesFromAHandWrittenServer) {
  std::string masked = {static_cast<char>(0x82), static_cast<char>(0x84), 1, 2, 3, 4};
  for (char c, i = 0; i < 4; ++i) {
    c = "abcd"[static_cast<int>(i)];
    masked += static_cast<char>(c ^ (i + 1));
  }
  RawPeer peer([&](const std::string& accept) {
    return switching(accept) + masked +             // a masked frame
           frame(0x82, "") +                        // an empty message is skipped
           frame(0x8A, "pong") +                    // a pong is ignored
           frame(0x01, "te") + frame(0x80, "xt") +  // text, continued
           frame(0x89, "hi") +                      // a ping: answered with a masked pong
           frame(0x83, "bad");                      // opcode 3
  });
  auto opened = connect(peer.target(), false, {});
  peer.join();
  ASSERT_TRUE(opened) << opened.error().message;
  Transport& t = opened.value();
  EXPECT_EQ(read_text(t, 4), "abcd");
  EXPECT_EQ(read_text(t, 4), "text");
  EXPECT_EQ(read_text(t, 1), "error: unsupported websocket opcode 0x3");
  const std::string pong = test::recv_some(peer.peer(), 8);
  ASSERT_EQ(pong.size(), 8u);
  EXPECT_EQ(static_cast<std::uint8_t>(pong[0]), 0x8A);
  EXPECT_EQ(static_cast<std::uint8_t>(pong[1]), 0x82);
  EXPECT_EQ(
      std::string({static_cast<char>(pong[6] ^ pong[2]), static_cast<char>(pong[7] ^ pong[3])}),
      "hi");
}

TEST(WebsocketReader, OversizedMessagesAreRefusedBeforeAllocating) {
  struct Case {
    const char* name;
    std::string frames;
    std::string error;
  };
  std::string huge = {static_cast<char>(0x82), 127, 0, 0, 0x01, 0, 0, 0, 0, 0};  // 2^40 bytes
  std::string limit_plus_one = {static_cast<char>(0x82), 127, 0, 0, 0, 0, 0x10, 0, 0, 9};
  // Two fragments that are fine alone but too large together.
  std::string first_half = {static_cast<char>(0x02), 127, 0, 0, 0, 0, 0x08, 0, 0, 0};
  const std::vector<Case> cases = {
      {"2^40", huge,
       "error: websocket message of 1099511627776 bytes exceeds the limit of 268435464 bytes"},
      {"limit+1", limit_plus_one,
       "error: websocket message of 268435465 bytes exceeds the limit of 268435464 bytes"},
  };
  for (const Case& c : cases) {
    RawPeer peer([&](const std::string& accept) { return switching(accept) + c.frames; });
    auto opened = connect(peer.target(), false, {});
    peer.join();
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(read_text(opened.value(), 1), c.error) << c.name;
  }
  // 128 MiB accepted, then a continuation of 128 MiB + 9 is refused before its payload.
  RawPeer peer([&](const std::string& accept) { return switching(accept) + first_half; });
  auto opened = connect(peer.target(), false, {});
  peer.join();
  ASSERT_TRUE(opened);
  std::thread feeder([&] {
    const std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 128; ++i) test::send_all(peer.peer(), chunk);
    test::send_all(peer.peer(), std::string{0x00, 127, 0, 0, 0, 0, 0x08, 0, 0, 9});
  });
  EXPECT_EQ(read_text(opened.value(), 1),
            "error: websocket message of 268435465 bytes exceeds the limit of 268435464 bytes");
  feeder.join();
}

}  // namespace
}  // namespace nolv
