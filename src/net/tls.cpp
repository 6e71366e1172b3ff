#include "net/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>

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

TlsStream::TlsStream(UniqueFd socket, std::unique_ptr<Engine> engine)
    : socket_(std::move(socket)), engine_(std::move(engine)) {}

TlsStream::~TlsStream() = default;

namespace {

// How long one empty attempt waits, with the lock released, before trying again.
constexpr int kWouldBlockWaitMs = 5;

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
                       SSL_alert_desc_string_long(reason - SSL_AD_REASON_OFFSET));
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

// Waits up to the retry interval for the socket to become ready; readiness ends it early.
void wait_ready(int socket, short events) {
  pollfd p{socket, events, 0};
  (void)::poll(&p, 1, kWouldBlockWaitMs);
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

Status handshake(SSL* ssl) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl);
    if (rc == 1) return {};
    const int saved_errno = errno;
    const int error = SSL_get_error(ssl, rc);
    // On a blocking socket this only follows a signal: go on.
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && saved_errno == EINTR) {
      continue;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      return fail("the handshake process was interrupted");
    }
    return fail("{}", handshake_error_text(ssl, error, saved_errno));
  }
}

enum class Attempt { Done, WantRead, WantWrite, Failed };

struct AttemptResult {
  Attempt state;
  std::size_t count = 0;
  std::string error;
};

AttemptResult classify(SSL* ssl, int rc, std::size_t count) {
  if (rc == 1) return {Attempt::Done, count, {}};
  const int saved_errno = errno;
  const int error = SSL_get_error(ssl, rc);
  switch (error) {
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

AttemptResult read_attempt(SSL* ssl, std::span<std::uint8_t> buffer) {
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  const int rc = SSL_read_ex(ssl, buffer.data(), buffer.size(), &n);
  return classify(ssl, rc, n);
}

AttemptResult write_attempt(SSL* ssl, std::span<const std::uint8_t> bytes) {
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  const int rc = SSL_write_ex(ssl, bytes.data(), bytes.size(), &n);
  AttemptResult result = classify(ssl, rc, n);
  if (result.state == Attempt::Done && result.count == 0) {
    result = {Attempt::Failed, 0, std::string(kWriteZeroText)};
  }
  return result;
}

short events_for(Attempt state) {
  return state == Attempt::WantWrite ? POLLOUT : POLLIN;
}

}  // namespace

std::string tls_server_name(std::string_view address) {
  const auto colon = address.rfind(':');
  return std::string(colon == std::string_view::npos ? address : address.substr(0, colon));
}

ConnectResult<std::shared_ptr<TlsStream>> tls_connect(UniqueFd socket, std::string_view address,
                                                      bool insecure) {
  auto failed = [&](const std::string& cause) {
    return ConnectError{kExitTlsFailure,
                        fmt::format("tls handshake failed: {}{}", cause,
                                    insecure ? "" : " (--ssl-insecure skips verification)")};
  };
  const std::string name = tls_server_name(address);
  auto engine = make_engine(socket.get(), name, insecure);
  if (!engine) return failed(engine.message());
  if (auto done = handshake((*engine)->ssl()); !done) return failed(done.message());
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return failed(os_error_text(errno));
  }
  return std::make_shared<TlsStream>(std::move(socket), std::move(engine).value());
}

Result<std::size_t> tls_read(TlsStream& stream, std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return std::size_t{0};
  for (;;) {
    AttemptResult result;
    {
      std::lock_guard lock(stream.mutex);
      result = read_attempt(stream.engine().ssl(), buffer);
    }
    if (result.state == Attempt::Done) return result.count;
    if (result.state == Attempt::Failed) return fail("{}", result.error);
    wait_ready(stream.socket(), events_for(result.state));
  }
}

Result<std::size_t> tls_write(TlsStream& stream, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return std::size_t{0};
  for (;;) {
    AttemptResult result;
    {
      std::lock_guard lock(stream.mutex);
      result = write_attempt(stream.engine().ssl(), bytes);
    }
    if (result.state == Attempt::Done) return result.count;
    if (result.state == Attempt::Failed) return fail("{}", result.error);
    wait_ready(stream.socket(), events_for(result.state));
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

}  // namespace nolv
