// TLS 1.2/1.3 client streams over a connected TCP socket, shared between the packet writer and
// the reader thread. The engine is not safe for concurrent calls, so each call takes the stream's
// mutex; nobody keeps it while waiting for the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "net/connect.h"
#include "util/result.h"

namespace nolv {

class TlsStream {
 public:
  struct Engine;  // the TLS library's objects, kept out of this header
  TlsStream(UniqueFd socket, std::unique_ptr<Engine> engine);
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  ~TlsStream();

  int socket() const { return socket_.get(); }

  std::mutex mutex;        // taken for each single read or write attempt
  std::mutex write_order;  // held by a whole tls_write_all: one writer's bytes stay together
  Engine& engine() { return *engine_; }

 private:
  UniqueFd socket_;
  std::unique_ptr<Engine> engine_;
};

// The name checked against the certificate: the address up to its last ':' (all of it without
// one); an IPv6 literal keeps its brackets.
std::string tls_server_name(std::string_view address);

// Runs the blocking client handshake, then makes the socket non-blocking. Failures are code 16,
// "tls handshake failed: {}{}" with the hint unless `insecure`.
ConnectResult<std::shared_ptr<TlsStream>> tls_connect(UniqueFd socket, std::string_view address,
                                                      bool insecure);

// One read (0 at the end of the stream); would-block is waited out with the lock released.
Result<std::size_t> tls_read(TlsStream& stream, std::span<std::uint8_t> buffer);

// One write; would-block is waited out with the lock released.
Result<std::size_t> tls_write(TlsStream& stream, std::span<const std::uint8_t> bytes);

// Every byte, in order and never interleaved with another tls_write_all; while the socket takes
// no more, the stream stays free for the reader (a server that only reads once it has written
// everything must still be read from meanwhile).
Status tls_write_all(TlsStream& stream, std::span<const std::uint8_t> bytes);

}  // namespace nolv
