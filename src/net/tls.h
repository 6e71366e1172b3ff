// TLS 1.2/1.3 client streams over a connected TCP socket, shared between the packet writer and
// the reader thread. The engine is not safe for concurrent calls, so each call takes the stream's
// mutex; nobody keeps it while waiting for the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/connect.h"
#include "util/result.h"

namespace nolv {

class TlsStream {
 public:
  struct Engine;  // the TLS library's objects, kept out of this header
  TlsStream(UniqueFd socket, std::unique_ptr<Engine> engine, bool insecure);
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;
  ~TlsStream();

  int socket() const { return socket_.get(); }
  // Readable when a write took incoming records into the engine, which the socket then no
  // longer shows: the reader waits on it beside the socket.
  int reader_wake() const { return reader_wake_.get(); }

  std::mutex mutex;        // taken for each single read or write attempt
  std::mutex write_order;  // held by a whole tls_write_all: one writer's bytes stay together
  Engine& engine() { return *engine_; }

  // Under `mutex`. Until the first application data, an alert from the server is its refusal of
  // the handshake (TLS 1.3 ends it on our side before the server has checked our part).
  bool application_data_seen = false;
  std::optional<std::string> refusal;  // "tls handshake failed: ..." once refused
  const bool insecure;

 private:
  UniqueFd socket_;
  UniqueFd reader_wake_;
  std::unique_ptr<Engine> engine_;
};

// The name checked against the certificate: the address up to its last ':' (all of it without
// one); an IPv6 literal keeps its brackets.
std::string tls_server_name(std::string_view address);

// "tls handshake failed: {cause}", with the hint about --ssl-insecure unless `insecure`.
std::string tls_handshake_message(std::string_view cause, bool insecure);

// Runs the client handshake, giving up after `step`; the socket is non-blocking from then on.
// Failures are code 16, `tls_handshake_message`.
ConnectResult<std::shared_ptr<TlsStream>> tls_connect(
    UniqueFd socket, std::string_view address, bool insecure,
    std::chrono::milliseconds step = kSetupStepDeadline);

// One read (0 at the end of the stream); would-block is waited out with the lock released, until
// `deadline` when one is given.
Result<std::size_t> tls_read(TlsStream& stream, std::span<std::uint8_t> buffer,
                             const StepDeadline* deadline = nullptr);

// One write; would-block is waited out with the lock released, until `deadline` when one is
// given.
Result<std::size_t> tls_write(TlsStream& stream, std::span<const std::uint8_t> bytes,
                              const StepDeadline* deadline = nullptr);

// Every byte, in order and never interleaved with another tls_write_all; while the socket takes
// no more, the stream stays free for the reader (a server that only reads once it has written
// everything must still be read from meanwhile).
Status tls_write_all(TlsStream& stream, std::span<const std::uint8_t> bytes);

// The handshake message of a server's refusal seen so far, if any.
std::optional<std::string> tls_refusal(TlsStream& stream);

}  // namespace nolv
