#include "net/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "util/unique_handle.h"

namespace nolv {

// The socket is closed by TlsStream, not by the engine; `ssl` goes before its context.
struct TlsStream::Engine {
  UniqueHandle<SSL_CTX, SSL_CTX_free> context_owner;
  UniqueHandle<SSL, SSL_free> ssl_owner;
  SSL* ssl() const { return ssl_owner.get(); }
};

TlsStream::TlsStream(UniqueFd socket, std::unique_ptr<Engine> engine, bool insecure_in)
    : insecure(insecure_in),
      socket_(std::move(socket)),
      reader_wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      engine_(std::move(engine)) {}

TlsStream::~TlsStream() = default;

namespace {

// How long a write that needs incoming records waits, with the lock released, before trying
// again: the reader may take those records off the socket meanwhile. Only a renegotiation asks
// a write for them.
constexpr int kWriteWantsReadWaitMs = 5;

// The library's reason for the last failure, with the certificate check's result when that was
// the cause.
std::string library_error_text(SSL* ssl, int ssl_error, int saved_errno) {
  const unsigned long code = ERR_peek_last_error();
  if (ssl_error == SSL_ERROR_SYSCALL && code == 0) {
    if (saved_errno != 0) return os_error_text(saved_errno);
    return "unexpected end of stream";
  }
  std::string text;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    text = reason != nullptr ? reason : fmt::format("error code {:#x}", code);
  } else {
    text = fmt::format("TLS error {}", ssl_error);
  }
  if (ssl != nullptr) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK && ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      text += fmt::format(": {}", X509_verify_cert_error_string(verify));
    }
  }
  ERR_clear_error();
  return text;
}

// The alert's name; the TLS 1.3 ones the table lacks come from the library's reason text
// ("tlsv13 alert certificate required").
std::string alert_name(int reason, unsigned long code) {
  const std::string_view name = SSL_alert_desc_string_long(reason - SSL_AD_REASON_OFFSET);
  if (name != "unknown") return std::string(name);
  const char* text = ERR_reason_error_string(code);
  if (text == nullptr) return std::string(name);
  const std::string_view full(text);
  const auto alert = full.find("alert ");
  return std::string(alert == std::string_view::npos ? full : full.substr(alert + 6));
}

// Why a handshake failed, in words a user can act on; the library's own reason otherwise.
std::string handshake_error_text(SSL* ssl, int ssl_error, int saved_errno) {
  const unsigned long code = ERR_peek_last_error();
  const int reason = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
  const bool closed = ssl_error == SSL_ERROR_ZERO_RETURN ||
                      (ssl_error == SSL_ERROR_SYSCALL && code == 0 && saved_errno == 0) ||
                      reason == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  const bool alert = reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256;
  std::string text;
  if (closed) {
    text = "the peer closed the connection during the handshake";
  } else if (ssl_error == SSL_ERROR_SYSCALL && code == 0 && saved_errno == ECONNRESET) {
    text = "the peer reset the connection during the handshake";
  } else if (alert) {
    text = fmt::format("the server ended the handshake with the alert \"{}\"",
                       alert_name(reason, code));
  } else if (reason == SSL_R_WRONG_VERSION_NUMBER) {
    text = "the server did not answer in TLS (wrong version number)";
  } else if (code == 0 && ssl_error != SSL_ERROR_SYSCALL) {
    text = fmt::format("unexpected TLS library state {}", ssl_error);
  } else {
    return library_error_text(ssl, ssl_error, saved_errno);
  }
  ERR_clear_error();
  return text;
}

bool is_ip_literal(const std::string& name) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

Result<std::unique_ptr<TlsStream::Engine>> make_engine(int socket, const std::string& name,
                                                       bool insecure) {
  auto engine = std::make_unique<TlsStream::Engine>();
  engine->context_owner.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* context = engine->context_owner.get();
  if (context == nullptr) return fail("{}", library_error_text(nullptr, SSL_ERROR_SSL, 0));
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1) {
    return fail("{}", library_error_text(nullptr, SSL_ERROR_SSL, 0));
  }
  // A server that just closes the connection reads as an ordinary end of stream.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (!insecure) {
    // The default paths honour SSL_CERT_FILE and SSL_CERT_DIR.
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
      return fail("{}", library_error_text(nullptr, SSL_ERROR_SSL, 0));
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }

  engine->ssl_owner.reset(SSL_new(context));
  SSL* ssl = engine->ssl();
  if (ssl == nullptr) return fail("{}", library_error_text(nullptr, SSL_ERROR_SSL, 0));
  if (SSL_set_fd(ssl, socket) != 1) return fail("{}", library_error_text(ssl, SSL_ERROR_SSL, 0));

  std::string bare = name;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  const bool ip = is_ip_literal(bare);
  // SNI carries host names only; an address literal is not allowed there.
  if (!ip && !name.empty() && SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
    return fail("{}", library_error_text(ssl, SSL_ERROR_SSL, 0));
  }
  if (!insecure) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, bare.c_str())
                       : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    if (set != 1) return fail("{}", library_error_text(ssl, SSL_ERROR_SSL, 0));
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
  return engine;
}

bool received_alert(unsigned long code) {
  const int reason = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
  return reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256;
}

// Over the non-blocking socket, so that a server that never answers is given up at `deadline`.
Status handshake(SSL* ssl, int socket, const StepDeadline& deadline) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl);
    if (rc == 1) return {};
    const int saved_errno = errno;
    const int error = SSL_get_error(ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      pollfd p{socket, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      auto ready = poll_until(std::span(&p, 1), &deadline);
      if (!ready) return ready.error();
      if (!*ready) return fail("{}", deadline.text());
      continue;
    }
    return fail("{}", handshake_error_text(ssl, error, saved_errno));
  }
}

// Again: the engine holds records already, so the next attempt goes at once.
enum class Attempt { Done, Again, WantRead, WantWrite, Failed };

struct AttemptResult {
  Attempt state;
  std::size_t count = 0;
  std::string error;
};

AttemptResult classify(int error, int saved_errno, std::size_t count) {
  switch (error) {
    case SSL_ERROR_NONE:
      return {Attempt::Done, count, {}};
    case SSL_ERROR_ZERO_RETURN:
      return {Attempt::Done, 0, {}};
    case SSL_ERROR_WANT_READ:
      return {Attempt::WantRead, 0, {}};
    case SSL_ERROR_WANT_WRITE:
      return {Attempt::WantWrite, 0, {}};
    default:
      return {Attempt::Failed, 0, library_error_text(nullptr, error, saved_errno)};
  }
}

// Under the stream's mutex.
AttemptResult read_attempt(TlsStream& stream, std::span<std::uint8_t> buffer) {
  if (stream.refusal) return {Attempt::Failed, 0, *stream.refusal};
  SSL* ssl = stream.engine().ssl();
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  const int rc = SSL_read_ex(ssl, buffer.data(), buffer.size(), &n);
  if (rc == 1) {
    stream.application_data_seen = true;
    return {Attempt::Done, n, {}};
  }
  const int saved_errno = errno;
  const int error = SSL_get_error(ssl, rc);
  if (error == SSL_ERROR_SSL && !stream.application_data_seen &&
      received_alert(ERR_peek_last_error())) {
    stream.refusal =
        tls_handshake_message(handshake_error_text(ssl, error, saved_errno), stream.insecure);
    return {Attempt::Failed, 0, *stream.refusal};
  }
  AttemptResult result = classify(error, saved_errno, 0);
  // Records the engine holds already are read now, not after a wait on the socket.
  if (result.state == Attempt::WantRead && SSL_pending(ssl) > 0) result.state = Attempt::Again;
  return result;
}

// Under the stream's mutex. A write may take incoming records into the engine (a
// renegotiation); the reader, which then finds nothing on the socket, is woken for them.
AttemptResult write_attempt(TlsStream& stream, std::span<const std::uint8_t> bytes) {
  if (stream.refusal) return {Attempt::Failed, 0, *stream.refusal};
  SSL* ssl = stream.engine().ssl();
  BIO* incoming = SSL_get_rbio(ssl);
  const std::uint64_t read_before = incoming != nullptr ? BIO_number_read(incoming) : 0;
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  const int rc = SSL_write_ex(ssl, bytes.data(), bytes.size(), &n);
  const int saved_errno = errno;
  const int error = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, rc);
  if (incoming != nullptr && BIO_number_read(incoming) != read_before) {
    const std::uint64_t one = 1;
    (void)!::write(stream.reader_wake(), &one, sizeof one);
  }
  AttemptResult result = classify(error, saved_errno, n);
  if (result.state == Attempt::Done && result.count == 0) {
    result = {Attempt::Failed, 0, std::string(kWriteZeroText)};
  }
  return result;
}

// Waits, with the lock released, until the attempt that reported `state` may go further.
Status wait_to_read(TlsStream& stream, Attempt state, const StepDeadline* deadline) {
  std::array<pollfd, 2> fds{pollfd{stream.socket(), POLLIN, 0},
                            pollfd{stream.reader_wake(), POLLIN, 0}};
  if (state == Attempt::WantWrite) fds[0].events = POLLOUT;
  auto ready = poll_until(fds, deadline);
  if (!ready) return ready.error();
  if (!*ready) return fail("{}", deadline->text());
  // Before the next attempt, so that a wake-up given after it is not lost.
  std::uint64_t count = 0;
  (void)!::read(stream.reader_wake(), &count, sizeof count);
  return {};
}

Status wait_to_write(TlsStream& stream, Attempt state, const StepDeadline* deadline) {
  pollfd p{stream.socket(), static_cast<short>(state == Attempt::WantWrite ? POLLOUT : POLLIN), 0};
  if (state == Attempt::WantRead) {
    const int n = ::poll(&p, 1, kWriteWantsReadWaitMs);
    if (n < 0 && errno != EINTR) return fail("{}", os_error_text(errno));
    if (deadline != nullptr && std::chrono::steady_clock::now() >= deadline->at) {
      return fail("{}", deadline->text());
    }
    return {};
  }
  auto ready = poll_until(std::span(&p, 1), deadline);
  if (!ready) return ready.error();
  if (!*ready) return fail("{}", deadline->text());
  return {};
}

}  // namespace

std::string tls_server_name(std::string_view address) {
  const auto colon = address.rfind(':');
  return std::string(colon == std::string_view::npos ? address : address.substr(0, colon));
}

std::string tls_handshake_message(std::string_view cause, bool insecure) {
  return fmt::format("tls handshake failed: {}{}", cause,
                     insecure ? "" : " (--ssl-insecure skips verification)");
}

ConnectResult<std::shared_ptr<TlsStream>> tls_connect(UniqueFd socket, std::string_view address,
                                                      bool insecure,
                                                      std::chrono::milliseconds step) {
  auto failed = [&](const std::string& cause) {
    return ConnectError{ExitCode::TlsFailure, tls_handshake_message(cause, insecure)};
  };
  const StepDeadline deadline(step);
  const std::string name = tls_server_name(address);
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return failed(os_error_text(errno));
  }
  auto engine = make_engine(socket.get(), name, insecure);
  if (!engine) return failed(engine.message());
  if (auto done = handshake((*engine)->ssl(), socket.get(), deadline); !done) {
    return failed(done.message());
  }
  auto stream = std::make_shared<TlsStream>(std::move(socket), std::move(engine).value(), insecure);
  if (stream->reader_wake() < 0) return failed(os_error_text(errno));
  return stream;
}

Result<std::size_t> tls_read(TlsStream& stream, std::span<std::uint8_t> buffer,
                             const StepDeadline* deadline) {
  if (buffer.empty()) return std::size_t{0};
  for (;;) {
    AttemptResult result;
    {
      std::lock_guard lock(stream.mutex);
      result = read_attempt(stream, buffer);
    }
    if (result.state == Attempt::Done) return result.count;
    if (result.state == Attempt::Failed) return fail("{}", result.error);
    if (result.state == Attempt::Again) continue;
    if (Status waited = wait_to_read(stream, result.state, deadline); !waited) {
      return waited.error();
    }
  }
}

Result<std::size_t> tls_write(TlsStream& stream, std::span<const std::uint8_t> bytes,
                              const StepDeadline* deadline) {
  if (bytes.empty()) return std::size_t{0};
  for (;;) {
    AttemptResult result;
    {
      std::lock_guard lock(stream.mutex);
      result = write_attempt(stream, bytes);
    }
    if (result.state == Attempt::Done) return result.count;
    if (result.state == Attempt::Failed) return fail("{}", result.error);
    if (Status waited = wait_to_write(stream, result.state, deadline); !waited) {
      return waited.error();
    }
  }
}

Status tls_write_all(TlsStream& stream, std::span<const std::uint8_t> bytes) {
  std::lock_guard order(stream.write_order);
  while (!bytes.empty()) {
    auto written = tls_write(stream, bytes);
    if (!written) return written.error();
    bytes = bytes.subspan(*written);
  }
  return {};
}

std::optional<std::string> tls_refusal(TlsStream& stream) {
  std::lock_guard lock(stream.mutex);
  return stream.refusal;
}

}  // namespace nolv
