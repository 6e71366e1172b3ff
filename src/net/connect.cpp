#include "net/connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "net/ssh.h"
#include "net/tls.h"
#include "net/websocket.h"
#include "util/format.h"

namespace nolv {

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, error_number);
}

std::string StepDeadline::text() const {
  return fmt::format("the server did not answer within {}",
                     format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(limit)));
}

Result<bool> poll_until(std::span<pollfd> fds, const StepDeadline* deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline != nullptr) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline->at - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
    }
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return fail("{}", os_error_text(errno));
  }
}

bool is_closed_by_peer(const Error& error) {
  return error.message == kEndOfStreamText || error.message == os_error_text(ECONNRESET);
}

namespace {

// "1.2.3.4:80" or "[::1]:80" / "[fe80::1%2]:80", with no resolution.
std::optional<SocketAddress> parse_literal_socket_address(std::string_view text) {
  SocketAddress out;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    std::string host(text.substr(1, close - 1));
    const auto port = parse_port(text.substr(close + 2), false);
    if (!port) return std::nullopt;
    std::uint32_t scope = 0;
    if (const auto percent = host.find('%'); percent != std::string::npos) {
      const std::string scope_text = host.substr(percent + 1);
      host.resize(percent);
      if (scope_text.empty()) return std::nullopt;
      if (std::all_of(scope_text.begin(), scope_text.end(),
                      [](char c) { return c >= '0' && c <= '9'; })) {
        if (scope_text.size() > 10) return std::nullopt;
        const auto value = std::stoull(scope_text);
        if (value > 0xFFFFFFFFull) return std::nullopt;
        scope = static_cast<std::uint32_t>(value);
      } else {
        scope = if_nametoindex(scope_text.c_str());
        if (scope == 0) return std::nullopt;
      }
    }
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (inet_pton(AF_INET6, host.c_str(), &sa->sin6_addr) != 1) return std::nullopt;
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(*port);
    sa->sin6_scope_id = scope;
    out.length = sizeof(sockaddr_in6);
    return out;
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string host(text.substr(0, colon));
  const auto port = parse_port(text.substr(colon + 1), false);
  if (!port) return std::nullopt;
  auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1) return std::nullopt;
  sa->sin_family = AF_INET;
  sa->sin_port = htons(*port);
  out.length = sizeof(sockaddr_in);
  return out;
}

}  // namespace

Result<std::vector<SocketAddress>> resolve_socket_addresses(std::string_view address) {
  if (auto literal = parse_literal_socket_address(address)) {
    return std::vector<SocketAddress>{*literal};
  }
  const auto colon = address.rfind(':');
  if (colon == std::string_view::npos) return fail("invalid socket address");
  const auto port = parse_port(address.substr(colon + 1), true);
  if (!port) return fail("invalid port value");
  const std::string host(address.substr(0, colon));

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  UniqueHandle<addrinfo, freeaddrinfo> list(raw);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return fail("{}", os_error_text(errno));
    return fail("failed to lookup address information: {}", gai_strerror(rc));
  }
  std::vector<SocketAddress> out;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    SocketAddress sa;
    std::memcpy(&sa.storage, ai->ai_addr, ai->ai_addrlen);
    sa.length = ai->ai_addrlen;
    if (ai->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&sa.storage)->sin_port = htons(*port);
    } else {
      reinterpret_cast<sockaddr_in6*>(&sa.storage)->sin6_port = htons(*port);
    }
    out.push_back(sa);
  }
  return out;
}

namespace {

// Connects without blocking, so that a server that never completes the connection is given up
// at the deadline; the socket is blocking again afterwards.
Result<UniqueFd> connect_one(const SocketAddress& address, const StepDeadline& deadline) {
  UniqueFd socket(
      ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) return fail("{}", os_error_text(errno));
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address.storage),
                address.length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return fail("{}", os_error_text(errno));
    pollfd p{socket.get(), POLLOUT, 0};
    auto ready = poll_until(std::span(&p, 1), &deadline);
    if (!ready) return ready.error();
    if (!*ready) return fail("{}", deadline.text());
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
      return fail("{}", os_error_text(errno));
    }
    if (error != 0) return fail("{}", os_error_text(error));
  }
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return fail("{}", os_error_text(errno));
  }
  return socket;
}

// Writes to a peer that has gone must fail with EPIPE rather than end the process.
void ignore_sigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

Result<UniqueFd> duplicate(const UniqueFd& fd) {
  const int copy = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail("{}", os_error_text(errno));
  return UniqueFd(copy);
}

// recv/read once, retrying on EINTR; 0 is the end of the stream.
Result<std::size_t> read_once(int fd, std::span<std::uint8_t> buffer, bool socket) {
  for (;;) {
    const ssize_t n = socket ? ::recv(fd, buffer.data(), buffer.size(), 0)
                             : ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail("{}", os_error_text(errno));
  }
}

}  // namespace

Status fd_write_all(int fd, std::span<const std::uint8_t> bytes, bool socket) {
  while (!bytes.empty()) {
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("{}", os_error_text(errno));
    }
    if (n == 0) return fail("{}", kWriteZeroText);
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Status fd_read_exact(int fd, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto n = read_once(fd, buffer, true);
    if (!n) return n.error();
    if (*n == 0) return fail("{}", kEndOfStreamText);
    buffer = buffer.subspan(*n);
  }
  return {};
}

Result<UniqueFd> connect_in_order(std::span<const SocketAddress> addresses,
                                  const StepDeadline& deadline) {
  if (addresses.empty()) return fail("could not resolve to any addresses");
  std::string last_error;
  for (const SocketAddress& address : addresses) {
    auto socket = connect_one(address, deadline);
    if (socket) return std::move(socket).value();
    last_error = socket.message();
  }
  return fail("{}", last_error);
}

ConnectResult<UniqueFd> connect_tcp(const Target& target, std::chrono::milliseconds step) {
  auto failed = [&](const std::string& cause) {
    return ConnectError{
        ExitCode::ConnectionFailed,
        fmt::format("failed to connect to {}: {}", quoted_text(target.address), cause)};
  };
  auto addresses = resolve_socket_addresses(target.address);
  if (!addresses) return failed(addresses.message());
  auto socket = connect_in_order(*addresses, StepDeadline(step));
  if (!socket) return failed(socket.message());
  // Packets are written whole, each in one call: holding back a small one until the previous
  // one is acknowledged only delays it (by the server's delayed acknowledgement, ~40 ms).
  const int on = 1;
  if (::setsockopt(socket->get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return failed(os_error_text(errno));
  }
  return std::move(socket).value();
}

ConnectResult<Transport> connect(const Target& target, bool ssl_insecure,
                                 const ConnectOptions& options) {
  if (ssl_insecure && target.kind != TargetKind::Ssl && target.kind != TargetKind::Wss) {
    return ConnectError{ExitCode::Usage,
                        "--ssl-insecure only applies to ssl:// and wss:// connections"};
  }
  if ((options.ssh_command || options.remote_nolv) && target.kind != TargetKind::Ssh) {
    return ConnectError{ExitCode::Usage,
                        fmt::format("{} only applies to ssh:// connections",
                                    options.ssh_command ? "--ssh" : "--remote-nolv")};
  }
  ignore_sigpipe();
  const std::chrono::milliseconds step = options.step_deadline;
  switch (target.kind) {
    case TargetKind::Tcp: {
      auto socket = connect_tcp(target, step);
      if (!socket) return socket.error();
      return Transport{Transport::Tcp{std::move(socket).value()}};
    }
    case TargetKind::Ssl: {
      auto socket = connect_tcp(target, step);
      if (!socket) return socket.error();
      auto stream = tls_connect(std::move(socket).value(), target.address, ssl_insecure, step);
      if (!stream) return stream.error();
      return Transport{Transport::Tls{std::move(stream).value()}};
    }
    case TargetKind::Ws: {
      auto socket = connect_tcp(target, step);
      if (!socket) return socket.error();
      return ws_upgrade(std::move(socket).value(), target, step);
    }
    case TargetKind::Wss: {
      auto socket = connect_tcp(target, step);
      if (!socket) return socket.error();
      auto stream = tls_connect(std::move(socket).value(), target.address, ssl_insecure, step);
      if (!stream) return stream.error();
      return ws_upgrade(std::move(stream).value(), target, step);
    }
    case TargetKind::Ssh:
      return ssh_connect(target, options.ssh_command, options.remote_nolv);
    case TargetKind::Socket:
      break;
  }
  return ConnectError{ExitCode::ConnectionFailed,
                      "Unix-domain socket connections are not supported on this platform"};
}

Result<Transport> Transport::try_clone() const {
  struct Cloner {
    Result<Transport> operator()(const Tcp& tcp) const {
      auto socket = duplicate(tcp.socket);
      if (!socket) return socket.error();
      return Transport{Tcp{std::move(socket).value()}};
    }
    Result<Transport> operator()(const Tls& tls) const { return Transport{Tls{tls.stream}}; }
    Result<Transport> operator()(const Ws& ws) const {
      auto socket = duplicate(ws.socket);
      if (!socket) return socket.error();
      Ws copy;
      copy.socket = std::move(socket).value();
      copy.pongs = ws.pongs;
      return Transport{std::move(copy)};
    }
    Result<Transport> operator()(const Wss& wss) const {
      Wss copy;
      copy.stream = wss.stream;
      copy.pongs = wss.pongs;
      return Transport{std::move(copy)};
    }
    Result<Transport> operator()(const Ssh& ssh) const {
      return Transport{Ssh{ssh.stdin_pipe, ssh.stdout_pipe}};
    }
  };
  return std::visit(Cloner{}, value);
}

Result<std::size_t> conn_read_some(Transport& transport, std::span<std::uint8_t> buffer) {
  struct ReadOnce {
    std::span<std::uint8_t> out;
    Result<std::size_t> operator()(Transport::Tcp& tcp) const {
      return read_once(tcp.socket.get(), out, true);
    }
    Result<std::size_t> operator()(Transport::Tls& tls) const { return tls_read(*tls.stream, out); }
    Result<std::size_t> operator()(Transport::Ws& ws) const { return ws_read_some(ws, out); }
    Result<std::size_t> operator()(Transport::Wss& wss) const { return ws_read_some(wss, out); }
    Result<std::size_t> operator()(Transport::Ssh& ssh) const {
      std::lock_guard lock(ssh.stdout_pipe->mutex);
      return read_once(ssh.stdout_pipe->fd.get(), out, false);
    }
  };
  auto n = std::visit(ReadOnce{buffer}, transport.value);
  if (!n) return n.error();
  if (*n == 0 && !buffer.empty()) return fail("{}", kEndOfStreamText);
  return *n;
}

Status conn_read_exact(Transport& transport, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto n = conn_read_some(transport, buffer);
    if (!n) return n.error();
    buffer = buffer.subspan(*n);
  }
  return {};
}

std::vector<std::uint8_t> transport_frame(const Transport& transport,
                                          std::vector<std::uint8_t> packet) {
  if (std::holds_alternative<Transport::Ws>(transport.value) ||
      std::holds_alternative<Transport::Wss>(transport.value)) {
    return ws_encode_frame(WsOpcode::Binary, packet, ws_new_mask());
  }
  return packet;
}

Status transport_write_raw(Transport& transport, std::span<const std::uint8_t> bytes) {
  struct WriteRaw {
    std::span<const std::uint8_t> bytes;
    Status operator()(Transport::Tcp& tcp) const {
      return fd_write_all(tcp.socket.get(), bytes, true);
    }
    Status operator()(Transport::Tls& tls) const { return tls_write_all(*tls.stream, bytes); }
    Status operator()(Transport::Ws& ws) const {
      std::lock_guard lock(ws.pongs->write_mutex);
      return fd_write_all(ws.socket.get(), bytes, true);
    }
    Status operator()(Transport::Wss& wss) const { return tls_write_all(*wss.stream, bytes); }
    Status operator()(Transport::Ssh& ssh) const {
      std::lock_guard lock(ssh.stdin_pipe->mutex);
      return fd_write_all(ssh.stdin_pipe->fd.get(), bytes, false);
    }
  };
  return std::visit(WriteRaw{bytes}, transport.value);
}

Status transport_write_all(Transport& transport, std::span<const std::uint8_t> bytes) {
  if (std::holds_alternative<Transport::Ws>(transport.value) ||
      std::holds_alternative<Transport::Wss>(transport.value)) {
    return transport_write_raw(transport, ws_encode_frame(WsOpcode::Binary, bytes, ws_new_mask()));
  }
  return transport_write_raw(transport, bytes);
}

void transport_shutdown(const Transport& transport) {
  struct SocketOf {
    int operator()(const Transport::Tcp& tcp) const { return tcp.socket.get(); }
    int operator()(const Transport::Tls& tls) const { return tls.stream->socket(); }
    int operator()(const Transport::Ws& ws) const { return ws.socket.get(); }
    int operator()(const Transport::Wss& wss) const { return wss.stream->socket(); }
    int operator()(const Transport::Ssh&) const { return -1; }
  };
  const int socket = std::visit(SocketOf{}, transport.value);
  if (socket >= 0) (void)::shutdown(socket, SHUT_RDWR);
  // The end of its input ends the ssh child once it has passed on what it was given; a writer
  // still stuck in a write to it keeps the pipe, which closes when the process ends.
  if (const auto* ssh = std::get_if<Transport::Ssh>(&transport.value)) {
    std::unique_lock lock(ssh->stdin_pipe->mutex, std::try_to_lock);
    if (lock.owns_lock()) ssh->stdin_pipe->fd = UniqueFd();
  }
}

std::optional<ConnectError> transport_setup_failure(const Transport& transport) {
  std::shared_ptr<TlsStream> stream;
  if (const auto* tls = std::get_if<Transport::Tls>(&transport.value)) stream = tls->stream;
  if (const auto* wss = std::get_if<Transport::Wss>(&transport.value)) stream = wss->stream;
  if (!stream) return std::nullopt;
  std::optional<std::string> refusal = tls_refusal(*stream);
  if (!refusal) return std::nullopt;
  return ConnectError{ExitCode::TlsFailure, std::move(*refusal)};
}

void transport_route_pongs(const Transport& transport,
                           std::function<void(std::vector<std::uint8_t> frame)> queue) {
  std::shared_ptr<WsPongRoute> route;
  if (const auto* ws = std::get_if<Transport::Ws>(&transport.value)) route = ws->pongs;
  if (const auto* wss = std::get_if<Transport::Wss>(&transport.value)) route = wss->pongs;
  if (!route) return;
  std::lock_guard lock(route->queue_mutex);
  route->queue = std::move(queue);
}

std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_plus) {
  if (allow_plus && !text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace nolv
