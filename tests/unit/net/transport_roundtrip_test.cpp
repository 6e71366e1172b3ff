// Packets both ways through every transport: the scripted test server sends a sequence, the real
// reader posts exactly those packets, and the client's packets reach the server.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "fakes/event_sink.h"
#include "net/base64.h"
#include "net/connect.h"
#include "net/io.h"
#include "unit/net/transport_test_util.h"

namespace nolv {
namespace {

const std::string kPeer = std::string(NOLV_TEST_PEER) + "/nolv_peer.py";
const std::string kSshToPeer = std::string(NOLV_TEST_DATA) + "/transport/ssh_to_peer.sh";

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251);
  return out;
}

struct Kind {
  const char* name;
  const char* scheme;  // empty for ssh
  const char* closing_reason;
};

void PrintTo(const Kind& kind, std::ostream* os) {
  *os << kind.name;
}

class TransportRoundTrip : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    const std::string big = base64_encode(pattern(200000, 1));
    const std::string small = base64_encode(pattern(100, 2));
    script_ = dir_.file("script.json");
    std::ofstream(script_)
        << "[{\"send\": [\"ping\", 5]},"
           " {\"expect\": \"hello\"},"
           " {\"send\": [\"draw\", 1, \"\", {\"x\": 1.5}], \"chunks\": {\"2\": \""
        << big
        << "\"}, \"compress\": true, \"compress_chunks\": true},"
           " {\"send\": [\"big\", 1], \"chunks\": {\"1\": \""
        << small
        << "\"}},"
           " {\"expect\": \"bye\"},"
           " {\"close\": null}]";
  }

  // Starts the peer and returns the target that reaches it.
  std::optional<Target> start_peer(const Kind& kind) {
    if (std::string_view(kind.name) == "ssh") {
      ::setenv("NOLV_PEER_DIR", NOLV_TEST_PEER, 1);
      ::setenv("PEER_SCRIPT", script_.c_str(), 1);
      auto t = parse_uri("ssh://someone@nowhere:2022/5");
      if (!t) return std::nullopt;
      return *t;
    }
    if (std::string_view(kind.name) == "openssh") return start_openssh();
    std::vector<std::string> argv = {
        "/usr/bin/python3", kPeer, std::string("--transport=") + kind.name, "--script=" + script_};
    if (std::string_view(kind.name) == "tls" || std::string_view(kind.name) == "wss") {
      const std::string make =
          "cd " + dir_.path() +
          " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "
          "k.pem -out c.pem -days 2 -subj /CN=localhost >/dev/null 2>&1";
      if (std::system(make.c_str()) != 0) return std::nullopt;
      argv.push_back("--cert=" + dir_.file("c.pem"));
      argv.push_back("--key=" + dir_.file("k.pem"));
    }
    peer_ = test::spawn_with_stdout(argv);
    auto address = test::wait_for_line(peer_.out.get(), "listening on ");
    if (!address) return std::nullopt;
    auto t = parse_uri(std::string(kind.scheme) + "://" + *address + "/");
    if (!t) return std::nullopt;
    return *t;
  }

  // A real OpenSSH server on loopback, key-only, whose "remote nolv" runs the scripted server
  // on the session's standard input and output and records its arguments.
  std::optional<Target> start_openssh() {
    if (::geteuid() != 0 || ::access("/usr/sbin/sshd", X_OK) != 0) return std::nullopt;
    const std::string d = dir_.path();
    const std::string keys = "cd " + d +
                             " && ssh-keygen -q -t ed25519 -N '' -f host_key && ssh-keygen -q -t "
                             "ed25519 -N '' -f client_key && mkdir -p /run/sshd";
    if (std::system(keys.c_str()) != 0) return std::nullopt;
    const std::uint16_t port = test::closed_port();
    std::ofstream(dir_.file("sshd_config"))
        << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << d << "/host_key\nPidFile "
        << d << "/sshd.pid\nAuthorizedKeysFile " << d
        << "/client_key.pub\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
           "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n";
    remote_ = dir_.file("remote nolv's");
    std::ofstream(remote_) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << d
                           << "/remote-args'\nexec /usr/bin/python3 '" << kPeer
                           << "' --transport=stdio '--script=" << script_ << "'\n";
    ::chmod(remote_.c_str(), 0755);
    sshd_ = test::Child(
        {"/usr/sbin/sshd", "-D", "-f", dir_.file("sshd_config"), "-E", dir_.file("sshd.log")});
    if (!test::wait_for_port(port)) return std::nullopt;
    ssh_command_ = {"ssh",
                    "-i",
                    dir_.file("client_key"),
                    "-o",
                    "StrictHostKeyChecking=no",
                    "-o",
                    "UserKnownHostsFile=/dev/null",
                    "-o",
                    "BatchMode=yes",
                    "-o",
                    "LogLevel=ERROR"};
    auto t = parse_uri(fmt::format("ssh://root@127.0.0.1:{}/5", port));
    if (!t) return std::nullopt;
    return *t;
  }

  // Events posted so far, waiting until there are `count` (bounded).
  std::vector<Packet> wait_for_events(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (events_.size() < count && std::chrono::steady_clock::now() < deadline) {
      for (Packet& p : sink_->take()) events_.push_back(std::move(p));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return events_;
  }

  test::TempDir dir_;
  std::string script_;
  test::Spawned peer_;
  test::Child sshd_;
  std::string remote_;
  std::vector<std::string> ssh_command_;
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::vector<Packet> events_;
};

TEST_P(TransportRoundTrip, ScriptedSequenceArrivesAndRepliesReachTheServer) {
  const Kind kind = GetParam();
  auto target = start_peer(kind);
  if (!target && std::string_view(kind.name) == "openssh") {
    GTEST_SKIP() << "no OpenSSH server to run as root here";
  }
  ASSERT_TRUE(target) << "the peer did not start";
  ConnectOptions options;
  if (std::string_view(kind.name) == "openssh") {
    options.ssh_command = ssh_command_;
    options.remote_nolv = remote_;
  } else if (target->kind == TargetKind::Ssh) {
    options.ssh_command = std::vector<std::string>{kSshToPeer};
  }
  const bool insecure = target->kind == TargetKind::Ssl || target->kind == TargetKind::Wss;
  auto opened = connect(*target, insecure, options);
  ASSERT_TRUE(opened) << opened.error().message;
  Transport writer = std::move(opened).value();
  auto reader = writer.try_clone();
  ASSERT_TRUE(reader) << reader.message();
  std::thread reading(read_packet, std::move(reader).value(), EventLoopProxy(sink_), nullptr);

  ASSERT_EQ(wait_for_events(1).size(), 1u);
  EXPECT_EQ(packet_get_str(events_[0].items, 0), "ping");
  EXPECT_EQ(packet_get_i64(events_[0].items, 1), 5);
  ASSERT_TRUE(test::write_packet(writer, Value::array({"hello", 1})));

  auto events = wait_for_events(3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(packet_get_str(events[1].items, 0), "draw");
  EXPECT_EQ(events[1].items.size(), 4u);
  ASSERT_EQ(events[1].chunks.count(2), 1u);
  EXPECT_EQ(events[1].chunks.at(2), pattern(200000, 1));
  EXPECT_EQ(packet_get_str(events[2].items, 0), "big");
  ASSERT_EQ(events[2].chunks.count(1), 1u);
  EXPECT_EQ(events[2].chunks.at(1), pattern(100, 2));

  // The server closes once it has "bye": the reader ends with one connection-lost.
  ASSERT_TRUE(test::write_packet(writer, Value::array({"bye"})));
  events = wait_for_events(4);
  reading.join();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(packet_get_str(events[3].items, 0), "connection-lost");
  EXPECT_EQ(packet_get_str(events[3].items, 1), kind.closing_reason);
  EXPECT_TRUE(sink_->take().empty());
  if (!remote_.empty()) {
    std::ifstream in(dir_.file("remote-args"));
    std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(args, "_proxy\n5\n");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, TransportRoundTrip,
                         ::testing::Values(Kind{"tcp", "tcp", "connection closed by the server"},
                                           Kind{"tls", "ssl", "connection closed by the server"},
                                           Kind{"ws", "ws", "websocket closed by peer"},
                                           Kind{"wss", "wss", "websocket closed by peer"},
                                           Kind{"ssh", "", "connection closed by the server"},
                                           Kind{"openssh", "", "connection closed by the server"}),
                         [](const ::testing::TestParamInfo<Kind>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace nolv
