#include "net/connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "net/uri.h"
#include "unit/net/transport_test_util.h"
#include "util/format.h"

namespace nolv {
namespace {

using test::Listener;
using test::tcp_target;

std::string refused(std::uint16_t port) {
  return fmt::format("failed to connect to \"127.0.0.1:{}\": {}", port,
                     os_error_text(ECONNREFUSED));
}

TEST(ConnectOptions, OptionChecksComeBeforeTheKind) {
  struct Case {
    const char* uri;
    bool insecure;
    ConnectOptions options;
    ConnectError expected;
  };
  const std::vector<Case> cases = {
      {"socket:///tmp/x",
       true,
       {},
       {ExitCode::Usage, "--ssl-insecure only applies to ssl:// and wss:// connections"}},
      {"tcp://127.0.0.1:1/",
       true,
       {},
       {ExitCode::Usage, "--ssl-insecure only applies to ssl:// and wss:// connections"}},
      {"ssh://h/",
       true,
       {},
       {ExitCode::Usage, "--ssl-insecure only applies to ssl:// and wss:// connections"}},
      {"tcp://127.0.0.1:1/",
       false,
       {std::vector<std::string>{"ssh"}, std::string("x")},
       {ExitCode::Usage, "--ssh only applies to ssh:// connections"}},
      {"wss://127.0.0.1:1/",
       false,
       {std::nullopt, std::string("x")},
       {ExitCode::Usage, "--remote-nolv only applies to ssh:// connections"}},
      {"socket:///tmp/x",
       false,
       {},
       {ExitCode::ConnectionFailed,
        "Unix-domain socket connections are not supported on this platform"}},
      {"/tmp/x",
       false,
       {},
       {ExitCode::ConnectionFailed,
        "Unix-domain socket connections are not supported on this platform"}},
  };
  for (const Case& c : cases) {
    auto target = parse_uri(c.uri);
    ASSERT_TRUE(target) << c.uri;
    auto result = connect(*target, c.insecure, c.options);
    ASSERT_FALSE(result) << c.uri;
    EXPECT_EQ(result.error(), c.expected) << c.uri;
  }
}

TEST(ConnectTcp, AddressAndPortErrors) {
  struct Case {
    const char* address;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"hostname", "invalid socket address"},
      {"127.0.0.1:", "invalid port value"},
      {"127.0.0.1:65536", "invalid port value"},
      {"127.0.0.1:-1", "invalid port value"},
      {"127.0.0.1:+", "invalid port value"},
      {"127.0.0.1:++1", "invalid port value"},
      {"127.0.0.1:8x", "invalid port value"},
      {"127.0.0.1:99999999999999999999999", "invalid port value"},
      {"a\"b:1x", "invalid port value"},
  };
  for (const Case& c : cases) {
    auto result = connect_tcp(tcp_target(c.address));
    ASSERT_FALSE(result) << c.address;
    EXPECT_EQ(result.error().code, ExitCode::ConnectionFailed);
    EXPECT_EQ(result.error().message,
              fmt::format("failed to connect to {}: {}", quoted_text(c.address), c.cause));
  }
}

TEST(ConnectTcp, RefusedReportsTheSystemError) {
  const auto port = test::closed_port();
  auto result = connect(tcp_target(fmt::format("127.0.0.1:{}", port)), false, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ExitCode::ConnectionFailed);
  EXPECT_EQ(result.error().message, refused(port));
  EXPECT_EQ(result.error().message,
            fmt::format("failed to connect to \"127.0.0.1:{}\": Connection refused (os error 111)",
                        port));
}

TEST(ConnectTcp, UnresolvableHostReportsTheResolver) {
  auto result = connect_tcp(tcp_target("nonexistent.invalid:80"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, ExitCode::ConnectionFailed);
  EXPECT_TRUE(result.error().message.starts_with(
      "failed to connect to \"nonexistent.invalid:80\": failed to lookup address information: "))
      << result.error().message;
}

TEST(ConnectTcp, ResolvedNameAndPlusSignedPortConnect) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  for (const std::string& address :
       {fmt::format("localhost:{}", listener.port()), fmt::format("localhost:+{}", listener.port()),
        fmt::format("127.0.0.1:+{}", listener.port())}) {
    auto result = connect_tcp(tcp_target(address));
    ASSERT_TRUE(result) << address << ": " << result.error().message;
    EXPECT_TRUE(listener.accept().valid());
  }
}

TEST(ConnectTcp, Ipv6LiteralIsUsedWithoutResolution) {
  Listener listener(AF_INET6);
  if (!listener.ok()) GTEST_SKIP() << "no IPv6 loopback";
  auto addresses = resolve_socket_addresses(fmt::format("[::1]:{}", listener.port()));
  ASSERT_TRUE(addresses);
  ASSERT_EQ(addresses->size(), 1u);
  EXPECT_EQ(addresses->front().storage.ss_family, AF_INET6);
  auto result = connect_tcp(tcp_target(fmt::format("[::1]:{}", listener.port())));
  ASSERT_TRUE(result) << result.error().message;
  EXPECT_TRUE(listener.accept().valid());
  // Brackets are the literal's: as a host name they resolve to nothing.
  auto bad = resolve_socket_addresses("[::1]x:1");
  EXPECT_FALSE(bad);
}

SocketAddress loopback(int family, std::uint16_t port) {
  SocketAddress out;
  if (family == AF_INET) {
    auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    out.length = sizeof(sockaddr_in);
  } else {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    sa->sin6_addr = in6addr_loopback;
    out.length = sizeof(sockaddr_in6);
  }
  return out;
}

TEST(ConnectTcp, AddressesAreTriedInOrderAndTheLastErrorWins) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  // An IPv6 address that refuses, then the IPv4 one that listens.
  const std::vector<SocketAddress> list = {loopback(AF_INET6, test::closed_port()),
                                           loopback(AF_INET, listener.port())};
  auto result = connect_in_order(list);
  ASSERT_TRUE(result) << result.message();
  EXPECT_TRUE(listener.accept().valid());

  // Every address fails: the cause is the last attempt's (the broadcast address fails
  // differently from a refusal).
  SocketAddress unreachable = loopback(AF_INET, 1);
  reinterpret_cast<sockaddr_in*>(&unreachable.storage)->sin_addr.s_addr =
      htonl(0xFFFFFFFF);  // broadcast: not connectable over TCP
  const std::vector<SocketAddress> failing = {unreachable, loopback(AF_INET, test::closed_port())};
  auto last = connect_in_order(failing);
  ASSERT_FALSE(last);
  EXPECT_EQ(last.message(), os_error_text(ECONNREFUSED));
  const std::vector<SocketAddress> reversed = {failing[1], failing[0]};
  auto other = connect_in_order(reversed);
  ASSERT_FALSE(other);
  EXPECT_NE(other.message(), os_error_text(ECONNREFUSED));

  auto none = connect_in_order({});
  ASSERT_FALSE(none);
  EXPECT_EQ(none.message(), "could not resolve to any addresses");
}

TEST(Transport, TcpCloneReadsWhatThePeerSendsAndWritesGoOut) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  auto opened = connect(tcp_target(fmt::format("127.0.0.1:{}", listener.port())), false, {});
  ASSERT_TRUE(opened) << opened.error().message;
  Transport writer = std::move(opened).value();
  EXPECT_EQ(writer.tag(), 0u);
  auto cloned = writer.try_clone();
  ASSERT_TRUE(cloned) << cloned.message();
  Transport reader = std::move(cloned).value();
  UniqueFd peer = listener.accept();
  ASSERT_TRUE(peer.valid());

  const auto packet = test::bytes_of("PXYZ-packet");
  ASSERT_TRUE(transport_write_all(writer, packet));
  EXPECT_EQ(test::recv_some(peer.get(), packet.size()), "PXYZ-packet");

  // The peer's bytes arrive in two pieces; one exact read waits for both.
  std::thread sender([&] {
    test::send_all(peer.get(), "1234");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    test::send_all(peer.get(), "5678abc");
  });
  std::vector<std::uint8_t> header(8);
  ASSERT_TRUE(conn_read_exact(reader, header));
  sender.join();
  EXPECT_EQ(std::string(header.begin(), header.end()), "12345678");

  // Dropping the writer's handle leaves the reader's open.
  writer = Transport{Transport::Tcp{}};
  std::vector<std::uint8_t> rest(3);
  ASSERT_TRUE(conn_read_exact(reader, rest));
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "abc");

  // A peer that closes while a header is read.
  test::send_all(peer.get(), "P\x04");
  peer = UniqueFd();
  auto eof = conn_read_exact(reader, header);
  ASSERT_FALSE(eof);
  EXPECT_EQ(eof.message(), "failed to fill whole buffer");
  EXPECT_TRUE(is_closed_by_peer(eof.error()));
}

TEST(Transport, ResetByPeerCountsAsClosed) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  auto opened = connect_tcp(tcp_target(fmt::format("127.0.0.1:{}", listener.port())));
  ASSERT_TRUE(opened);
  Transport t{Transport::Tcp{std::move(opened).value()}};
  UniqueFd peer = listener.accept();
  ASSERT_TRUE(peer.valid());
  // Unread data at close makes the peer send a reset.
  ASSERT_TRUE(transport_write_all(t, test::bytes_of("unread")));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  linger l{1, 0};
  ASSERT_EQ(setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l), 0);
  peer = UniqueFd();
  std::vector<std::uint8_t> buffer(8);
  auto result = conn_read_exact(t, buffer);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.message(), os_error_text(ECONNRESET));
  EXPECT_TRUE(is_closed_by_peer(result.error()));
  EXPECT_FALSE(is_closed_by_peer(Error{"websocket closed by peer"}));
}

TEST(Transport, WriteToAClosedPeerFailsInsteadOfKillingTheProcess) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  auto opened = connect(tcp_target(fmt::format("127.0.0.1:{}", listener.port())), false, {});
  ASSERT_TRUE(opened);
  UniqueFd peer = listener.accept();
  linger l{1, 0};
  setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  peer = UniqueFd();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::vector<std::uint8_t> big(1 << 20, 7);
  Status s;
  for (int i = 0; i < 5 && s.ok(); ++i) s = transport_write_all(opened.value(), big);
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.message() == os_error_text(EPIPE) || s.message() == os_error_text(ECONNRESET))
      << s.message();
}

}  // namespace
}  // namespace nolv
