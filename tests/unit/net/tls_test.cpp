#include "net/tls.h"

#include <sys/socket.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "net/connect.h"
#include "unit/net/transport_test_util.h"

namespace nolv {
namespace {

using test::TempDir;

constexpr std::string_view kHint = " (--ssl-insecure skips verification)";

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// A test CA, a server certificate it signed for localhost and 127.0.0.1, one it signed for
// another name, and a self-signed one for localhost.
class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string d = dir_->path();
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    ok_ = run("cd " + d + " && openssl req -x509 " + ec +
              " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Test CA' -addext "
              "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign "
              ">/dev/null 2>&1") &&
          sign("server", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
          sign("other", "subjectAltName=DNS:other.example") &&
          run("cd " + d + " && openssl req -x509 " + ec +
              " -keyout self.key -out self.pem -days 2 -subj /CN=localhost -addext "
              "subjectAltName=DNS:localhost,IP:127.0.0.1 >/dev/null 2>&1") &&
          run("cd " + d + " && : > empty.pem && mkdir -p nocerts");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static bool sign(const std::string& name, const std::string& san) {
    const std::string d = dir_->path();
    return run("cd " + d + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes " +
               "-keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name +
               " >/dev/null 2>&1 && printf '" + san +
               "\\nextendedKeyUsage=serverAuth\\nbasicConstraints=CA:FALSE\\n' > " + name +
               ".ext && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key " +
               "-CAcreateserial -out " + name + ".pem -days 2 -extfile " + name +
               ".ext >/dev/null 2>&1");
  }

  void SetUp() override {
    ASSERT_TRUE(ok_) << "could not make the test certificates";
    trust(dir_->file("ca.pem"));
  }

  // Trust only `file` through the default paths.
  static void trust(const std::string& file) {
    ::setenv("SSL_CERT_FILE", file.c_str(), 1);
    ::setenv("SSL_CERT_DIR", dir_->file("nocerts").c_str(), 1);
  }

  // openssl s_server answering each line with its reverse; returns the port (0 on failure).
  std::uint16_t serve(const std::string& cert, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"openssl",
                                     "s_server",
                                     "-rev",
                                     "-accept",
                                     "127.0.0.1:0",
                                     "-cert",
                                     dir_->file(cert + ".pem"),
                                     "-key",
                                     dir_->file(cert + ".key")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = test::spawn_with_stdout(argv);
    auto line = test::wait_for_line(server_.out.get(), "ACCEPT 127.0.0.1:");
    if (!line) return 0;
    return static_cast<std::uint16_t>(std::stoi(*line));
  }

  static ConnectResult<Transport> open(const std::string& host, std::uint16_t port, bool insecure) {
    return connect(test::tcp_target(fmt::format("{}:{}", host, port), TargetKind::Ssl), insecure,
                   {});
  }

  // Writes a line and expects the reversed line back through a cloned reader.
  static void expect_round_trip(Transport& writer) {
    auto reader = writer.try_clone();
    ASSERT_TRUE(reader) << reader.message();
    ASSERT_TRUE(transport_write_all(writer, test::bytes_of("hello tls\n")));
    std::vector<std::uint8_t> back(10);
    ASSERT_TRUE(conn_read_exact(*reader, back));
    EXPECT_EQ(std::string(back.begin(), back.end()), "slt olleh\n");
  }

  static inline TempDir* dir_ = nullptr;
  static inline bool ok_ = false;
  test::Spawned server_;
};

TEST(TlsServerName, IsTheAddressUpToItsLastColon) {
  EXPECT_EQ(tls_server_name("example.org:443"), "example.org");
  EXPECT_EQ(tls_server_name("example.org"), "example.org");
  EXPECT_EQ(tls_server_name("[::1]:443"), "[::1]");
}

TEST_F(TlsTest, TrustedCaCertificateConnectsByNameAndByAddress) {
  const auto port = serve("server");
  ASSERT_NE(port, 0);
  auto by_name = open("localhost", port, false);
  ASSERT_TRUE(by_name) << by_name.error().message;
  EXPECT_EQ(by_name.value().tag(), 1u);
  expect_round_trip(by_name.value());
}

TEST_F(TlsTest, IpAddressIsCheckedAgainstTheCertificate) {
  const auto port = serve("server");
  ASSERT_NE(port, 0);
  auto by_address = open("127.0.0.1", port, false);
  ASSERT_TRUE(by_address) << by_address.error().message;
  expect_round_trip(by_address.value());
}

TEST_F(TlsTest, SelfSignedFailsWithTheHintAndPassesInsecure) {
  const auto port = serve("self");
  ASSERT_NE(port, 0);
  auto strict = open("localhost", port, false);
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error().code, ExitCode::TlsFailure);
  EXPECT_EQ(strict.error().message, fmt::format("tls handshake failed: certificate verify "
                                                "failed: self-signed certificate{}",
                                                kHint));
  auto insecure = open("localhost", port, true);
  ASSERT_TRUE(insecure) << insecure.error().message;
  expect_round_trip(insecure.value());
}

TEST_F(TlsTest, UntrustedCaFails) {
  trust(dir_->file("empty.pem"));
  const auto port = serve("server");
  ASSERT_NE(port, 0);
  auto strict = open("localhost", port, false);
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error().code, ExitCode::TlsFailure);
  EXPECT_TRUE(strict.error().message.starts_with("tls handshake failed: certificate verify failed"))
      << strict.error().message;
  EXPECT_TRUE(strict.error().message.ends_with(kHint));
}

TEST_F(TlsTest, WrongHostNameFailsUnlessInsecure) {
  const auto port = serve("other");
  ASSERT_NE(port, 0);
  auto strict = open("localhost", port, false);
  ASSERT_FALSE(strict);
  EXPECT_EQ(
      strict.error().message,
      fmt::format("tls handshake failed: certificate verify failed: hostname mismatch{}", kHint));
  auto insecure = open("localhost", port, true);
  ASSERT_TRUE(insecure) << insecure.error().message;
  expect_round_trip(insecure.value());
}

TEST_F(TlsTest, OldProtocolOnlyServerFails) {
  const auto port = serve("server", {"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"});
  ASSERT_NE(port, 0);
  for (bool insecure : {false, true}) {
    auto result = open("localhost", port, insecure);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, ExitCode::TlsFailure);
    EXPECT_TRUE(result.error().message.starts_with("tls handshake failed: "));
    EXPECT_EQ(result.error().message.ends_with(kHint), !insecure) << result.error().message;
    // The server answers the 1.2 hello with a protocol-version alert.
    EXPECT_EQ(result.error().message,
              fmt::format("tls handshake failed: the server ended the handshake with the alert "
                          "\"protocol version\"{}",
                          insecure ? "" : kHint));
  }
}

// A peer that takes the client's hello and then ends the connection its own way: the cause says
// what the peer did, and the hint is still there.
TEST_F(TlsTest, PeerEndingTheHandshakeGivesAReadableCause) {
  enum class End { Close, Reset, PlainText };
  struct Case {
    End end;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {End::Close, "the peer closed the connection during the handshake"},
      {End::Reset, "the peer reset the connection during the handshake"},
      {End::PlainText, "the server did not answer in TLS (wrong version number)"},
  };
  for (const Case& c : cases) {
    test::Listener listener;
    ASSERT_TRUE(listener.ok());
    std::thread peer_thread([&] {
      UniqueFd peer = listener.accept();
      // The whole hello record, so that closing sends an orderly end, not a reset.
      const std::string head = test::recv_some(peer.get(), 5);
      if (head.size() == 5) {
        test::recv_some(peer.get(), static_cast<std::uint8_t>(head[3]) * 256u +
                                        static_cast<std::uint8_t>(head[4]));
      }
      if (c.end == End::Reset) {
        const linger abort{1, 0};
        ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      } else if (c.end == End::PlainText) {
        test::send_all(peer.get(), "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
      }
    });
    auto result = open("127.0.0.1", listener.port(), false);
    peer_thread.join();
    ASSERT_FALSE(result) << c.cause;
    EXPECT_EQ(result.error().code, ExitCode::TlsFailure);
    EXPECT_EQ(result.error().message, fmt::format("tls handshake failed: {}{}", c.cause, kHint));
  }
}

TEST_F(TlsTest, ServerClosingReadsAsEndOfStream) {
  const auto port = serve("server", {"-naccept", "1"});
  ASSERT_NE(port, 0);
  auto opened = open("localhost", port, false);
  ASSERT_TRUE(opened) << opened.error().message;
  ASSERT_TRUE(transport_write_all(opened.value(), test::bytes_of("ab\n")));
  std::vector<std::uint8_t> back(3);
  ASSERT_TRUE(conn_read_exact(opened.value(), back));
  server_.child.stop();
  std::vector<std::uint8_t> more(8);
  auto eof = conn_read_exact(opened.value(), more);
  ASSERT_FALSE(eof);
  EXPECT_TRUE(is_closed_by_peer(eof.error())) << eof.message();
}

TEST_F(TlsTest, ConcurrentReaderDoesNotBlockTheWriter) {
  const auto port = serve("server");
  ASSERT_NE(port, 0);
  auto opened = open("localhost", port, false);
  ASSERT_TRUE(opened) << opened.error().message;
  auto reader = opened.value().try_clone();
  ASSERT_TRUE(reader);
  // The reader waits for data before anything is written; the writer must still get through.
  std::string received;
  std::thread reading([&] {
    std::vector<std::uint8_t> line(4 * 200);
    if (conn_read_exact(*reader, line)) received.assign(line.begin(), line.end());
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(transport_write_all(opened.value(), test::bytes_of(fmt::format("{:03}\n", i))));
  }
  reading.join();
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string line = fmt::format("{:03}", i);
    expected += std::string(line.rbegin(), line.rend()) + "\n";
  }
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace nolv
