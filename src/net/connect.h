// Opening the connection to the server and moving bytes over it, whatever its kind: plain TCP,
// TLS, websocket (plain or over TLS) or the pipes of an ssh child process.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "net/uri.h"
#include "util/exit_code.h"
#include "util/result.h"
#include "util/unique_handle.h"

namespace nolv {

class TlsStream;  // net/tls.h

// A pipe end shared by the writer and the reader, used by one thread at a time.
struct LockedFd {
  std::mutex mutex;
  UniqueFd fd;
};

// The writing side shared by both handles of a websocket connection. Frames written straight to
// a plain socket take `write_mutex` so that they never interleave; once a packet writer owns the
// connection, `queue` hands the reader's pongs to it, so that the reader never waits for the
// server to take bytes (nor for the writer, which may be waiting for exactly that).
struct WsPongRoute {
  std::mutex write_mutex;
  std::mutex queue_mutex;
  std::function<void(std::vector<std::uint8_t> frame)> queue;  // set by the packet writer
};

// How long each step of the set-up that waits on the server may take: the TCP connect, the TLS
// handshake, the websocket upgrade. A server that accepts and then says nothing must not hold
// the command line or the connection dialog for ever; a real one, even far away and busy,
// answers well within it.
inline constexpr std::chrono::milliseconds kSetupStepDeadline{30'000};

// The end of one set-up step, and the limit it was made from for the message.
struct StepDeadline {
  std::chrono::milliseconds limit;
  std::chrono::steady_clock::time_point at;

  explicit StepDeadline(std::chrono::milliseconds step = kSetupStepDeadline)
      : limit(step), at(std::chrono::steady_clock::now() + step) {}
  // "the server did not answer within 30s"
  std::string text() const;
};

// Polls `fds` until one is ready, or until `deadline` passes when there is one (false then).
// A signal is waited out.
[[nodiscard]] Result<bool> poll_until(std::span<pollfd> fds, const StepDeadline* deadline);

// The connection options that only make sense for an ssh target ("--ssh", "--remote-nolv"),
// and the deadline of each set-up step.
struct ConnectOptions {
  std::optional<std::vector<std::string>> ssh_command;
  std::optional<std::string> remote_nolv;
  std::chrono::milliseconds step_deadline = kSetupStepDeadline;
};

// Why the connection could not be opened, and the exit code the program ends with for it.
struct ConnectError {
  ExitCode code = ExitCode::ConnectionFailed;
  std::string message;

  friend bool operator==(const ConnectError&, const ConnectError&) = default;
};

template <typename T>
using ConnectResult = Result<T, ConnectError>;

// The open connection. The variant index is the tag (0 Tcp ... 4 Ssh), the same numbers as
// TargetKind's first five kinds. The Client writes through one Transport, the reader thread reads
// through its own copy from try_clone.
struct Transport {
  struct Tcp {
    UniqueFd socket;  // blocking
  };
  struct Tls {
    std::shared_ptr<TlsStream> stream;  // locked inside; non-blocking socket
  };
  struct Ws {
    std::vector<std::uint8_t> buffer;  // the last complete message received
    UniqueFd socket;                   // blocking; each handle has its own descriptor
    std::size_t position = 0;          // next unread byte of `buffer`
    std::shared_ptr<WsPongRoute> pongs = std::make_shared<WsPongRoute>();
  };
  struct Wss {
    std::vector<std::uint8_t> buffer;
    std::shared_ptr<TlsStream> stream;
    std::size_t position = 0;
    std::shared_ptr<WsPongRoute> pongs = std::make_shared<WsPongRoute>();
  };
  struct Ssh {
    std::shared_ptr<LockedFd> stdin_pipe;   // the child's standard input: we write here
    std::shared_ptr<LockedFd> stdout_pipe;  // the child's standard output: we read here
  };

  std::variant<Tcp, Tls, Ws, Wss, Ssh> value;

  std::size_t tag() const { return value.index(); }

  // A second handle on the same connection for the reader thread: a duplicated socket (Tcp, Ws;
  // Ws with its own empty buffer) or one more holder of the shared stream or pipes.
  [[nodiscard]] Result<Transport> try_clone() const;
};

// The option checks first, then the connection by the target's kind.
// A port number: decimal digits (with one leading '+' when allowed), 0 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text, bool allow_plus);

ConnectResult<Transport> connect(const Target& target, bool ssl_insecure,
                                 const ConnectOptions& options);

// A connected, blocking TCP socket to the target's "host:port"; failures are code 18. All the
// addresses together get `step` to connect.
ConnectResult<UniqueFd> connect_tcp(const Target& target,
                                    std::chrono::milliseconds step = kSetupStepDeadline);

// One address to connect to, as the resolver gives it.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// A literal address, or the resolver's addresses with the port; failures are the cause text.
Result<std::vector<SocketAddress>> resolve_socket_addresses(std::string_view address);

// Tries each address in order until `deadline`; the first connected socket, else the last
// attempt's error.
Result<UniqueFd> connect_in_order(std::span<const SocketAddress> addresses,
                                  const StepDeadline& deadline = StepDeadline());

// Reads what the transport has, at least one byte and at most the buffer's size, or fails (end
// of stream with kEndOfStreamText); websocket frames are unwrapped here.
[[nodiscard]] Result<std::size_t> conn_read_some(Transport& transport,
                                                 std::span<std::uint8_t> buffer);

// Fills the whole buffer or fails; websocket frames are unwrapped here. End of stream fails with
// kEndOfStreamText.
Status conn_read_exact(Transport& transport, std::span<std::uint8_t> buffer);

// Writes one whole encoded packet: plain send for Tcp, the locked TLS write-all for Tls, exactly
// one masked binary frame for Ws and Wss, the locked child stdin for Ssh.
Status transport_write_all(Transport& transport, std::span<const std::uint8_t> bytes);

// What goes on the wire for one encoded packet: the packet itself, or for Ws and Wss one masked
// binary frame carrying it.
std::vector<std::uint8_t> transport_frame(const Transport& transport,
                                          std::vector<std::uint8_t> packet);

// Writes bytes that are already framed for the wire, every one of them.
Status transport_write_raw(Transport& transport, std::span<const std::uint8_t> bytes);

// Shuts the connection down in both directions, so that every thread blocked on it (a reader
// waiting for bytes, a writer waiting for the server to take some) wakes with an error or the end
// of the stream. For ssh the child's input is closed, which ends it; its output stays open
// until the child closes it.
void transport_shutdown(const Transport& transport);

// The failure of a set-up that only showed once the session had begun: a TLS server that
// refuses the handshake with an alert after the client's part of it was done (a client
// certificate it requires). Code 16 and the handshake message.
[[nodiscard]] std::optional<ConnectError> transport_setup_failure(const Transport& transport);

// Where the reader's pongs go from now on; none writes them straight to the socket again.
void transport_route_pongs(const Transport& transport,
                           std::function<void(std::vector<std::uint8_t> frame)> queue);

// The error texts of the byte-moving operations.
inline constexpr std::string_view kEndOfStreamText = "failed to fill whole buffer";
inline constexpr std::string_view kWriteZeroText = "failed to write whole buffer";

// Descriptor helpers shared by the transports: send/write every byte (EINTR retried, no SIGPIPE
// on sockets), and fill a buffer from a socket.
Status fd_write_all(int fd, std::span<const std::uint8_t> bytes, bool socket);
Status fd_read_exact(int fd, std::span<std::uint8_t> buffer);

// "Connection refused (os error 111)".
std::string os_error_text(int error_number);

// True for the two errors that mean the server went away: end of stream and a reset by the peer.
bool is_closed_by_peer(const Error& error);

}  // namespace nolv
