#include "net/websocket.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "net/base64.h"
#include "net/sha1.h"
#include "net/tls.h"
#include "util/format.h"
#include "util/growing_read.h"
#include "util/log.h"
#include "util/text.h"

namespace nolv {

namespace {

constexpr std::string_view kLogTarget = "nolv::net::websocket";
constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::atomic<std::uint64_t> key_counter{0};

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
  };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The packet writer's queue for the reader's pongs, once it owns the connection.
std::function<void(std::vector<std::uint8_t>)> pong_queue(WsPongRoute& route) {
  std::lock_guard lock(route.queue_mutex);
  return route.queue;
}

// A pong goes behind the packets already queued when a packet writer owns the connection, and
// straight to the socket before that.
template <typename WriteNow>
Status send_pong(WsPongRoute& route, std::span<const std::uint8_t> payload, WriteNow write_now) {
  if (auto queue = pong_queue(route)) {
    queue(ws_encode_frame(WsOpcode::Pong, payload, ws_new_mask()));
    return {};
  }
  return write_now();
}

// The byte-level operations of the two websocket transports.
struct PlainIo {
  Transport::Ws& ws;
  Status read_exact(std::span<std::uint8_t> out) const {
    return fd_read_exact(ws.socket.get(), out);
  }
  Status pong(std::span<const std::uint8_t> payload) const {
    return send_pong(*ws.pongs, payload,
                     [&] { return ws_write_frame(ws, WsOpcode::Pong, payload); });
  }
};

Status tls_read_exact(TlsStream& stream, std::span<std::uint8_t> out,
                      const StepDeadline* deadline = nullptr) {
  while (!out.empty()) {
    auto n = tls_read(stream, out, deadline);
    if (!n) return n.error();
    if (*n == 0) return fail("{}", kEndOfStreamText);
    out = out.subspan(*n);
  }
  return {};
}

struct TlsIo {
  TlsStream& stream;
  WsPongRoute& route;
  Status read_exact(std::span<std::uint8_t> out) const { return tls_read_exact(stream, out); }
  Status pong(std::span<const std::uint8_t> payload) const {
    return send_pong(route, payload,
                     [&] { return ws_write_frame_tls(stream, WsOpcode::Pong, payload); });
  }
};

std::uint64_t big_endian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

// Frames until one complete, non-empty data message; pings are answered on the way.
template <typename Io>
Result<std::vector<std::uint8_t>> read_message(const Io& io) {
  std::vector<std::uint8_t> message;
  for (;;) {
    std::uint8_t head[2];
    if (auto s = io.read_exact(head); !s) return s.error();
    const bool fin = (head[0] & 0x80) != 0;
    const std::uint8_t opcode = head[0] & 0x0F;
    const bool masked = (head[1] & 0x80) != 0;
    std::uint64_t length = head[1] & 0x7F;
    if (length == 126 || length == 127) {
      std::uint8_t extended[8];
      const std::span<std::uint8_t> field(extended, length == 126 ? 2 : 8);
      if (auto s = io.read_exact(field); !s) return s.error();
      length = big_endian(field);
    }
    std::uint8_t key[4] = {0, 0, 0, 0};
    if (masked) {
      if (auto s = io.read_exact(key); !s) return s.error();
    }
    const bool data = opcode <= 2;
    const std::uint64_t kept = data ? message.size() : 0;
    if (length > kMaxWebsocketMessage - kept) {
      return fail("websocket message of {} bytes exceeds the limit of {} bytes", kept + length,
                  kMaxWebsocketMessage);
    }
    std::vector<std::uint8_t> control;
    std::vector<std::uint8_t>& target = data ? message : control;
    const std::size_t start = target.size();
    if (auto s = append_growing(target, length,
                                [&](std::span<std::uint8_t> tail) { return io.read_exact(tail); });
        !s) {
      return s.error();
    }
    const std::span<std::uint8_t> payload(target.data() + start, static_cast<std::size_t>(length));
    if (masked) {
      for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
    }
    log_trace(kLogTarget, "websocket frame opcode={:#x} fin={} len={}", opcode, fin, length);
    switch (opcode) {
      case 0:
      case 1:
      case 2:
        // An empty message would read as the end of the stream; it carries nothing, so skip it.
        if (fin && !message.empty()) return message;
        break;
      case 8:
        return fail("websocket closed by peer");
      case 9:
        if (auto s = io.pong(payload); !s) return s.error();
        break;
      case 10:
        break;
      default:
        return fail("unsupported websocket opcode {:#x}", opcode);
    }
  }
}

template <typename Io, typename Buffered>
Result<std::size_t> read_some(const Io& io, Buffered& transport, std::span<std::uint8_t> out) {
  if (out.empty()) return std::size_t{0};
  if (transport.position >= transport.buffer.size()) {
    transport.buffer.clear();
    transport.position = 0;
    auto message = read_message(io);
    if (!message) return message.error();
    transport.buffer = std::move(message).value();
  }
  const std::size_t count = std::min(out.size(), transport.buffer.size() - transport.position);
  std::memcpy(out.data(), transport.buffer.data() + transport.position, count);
  transport.position += count;
  return count;
}

// Reads the response one byte at a time, so that a frame right behind it stays unread.
template <typename ReadByte>
Result<std::string> read_response(ReadByte read_byte) {
  std::string response;
  for (;;) {
    auto byte = read_byte();
    if (!byte) return byte.error();
    response += static_cast<char>(*byte);
    if (response.ends_with("\r\n\r\n")) return response;
    if (response.size() > kMaxHandshakeResponse) {
      return fail("websocket handshake response too large");
    }
  }
}

Status check_response(std::string_view raw, std::string_view key) {
  const std::string text = utf8_lossy(raw);
  log_trace(kLogTarget, "websocket handshake response: {}", log_value(text));
  std::vector<std::string_view> lines;
  std::string_view rest = text;
  for (;;) {
    const auto end = rest.find("\r\n");
    if (end == std::string_view::npos) {
      lines.push_back(rest);
      break;
    }
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 2);
  }
  const std::string_view status = lines.empty() ? std::string_view{} : lines.front();
  if (status.find(" 101 ") == std::string_view::npos) {
    return fail("unexpected websocket handshake response: {}", status);
  }
  std::optional<std::string> accept;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto colon = lines[i].find(':');
    if (colon == std::string_view::npos) continue;
    if (equals_ignoring_ascii_case(trim(lines[i].substr(0, colon)), "sec-websocket-accept")) {
      accept = std::string(trim(lines[i].substr(colon + 1)));
    }
  }
  const std::string expected = websocket_accept_key(key);
  if (accept != expected) {
    return fail("invalid Sec-WebSocket-Accept: got {}, expected {}",
                accept ? fmt::format("Some({})", quoted_text(*accept)) : std::string("None"),
                quoted_text(expected));
  }
  return {};
}

std::string new_key() {
  const auto bytes = ws_key_bytes();
  return base64_encode(bytes);
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

ConnectError handshake_error(const std::string& cause) {
  return ConnectError{ExitCode::ConnectionFailed,
                      fmt::format("websocket handshake failed: {}", cause)};
}

}  // namespace

std::uint64_t ws_random_u64() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  // Whole 100-nanosecond ticks: the resolution the key formula was made for.
  const std::uint64_t t = static_cast<std::uint64_t>(ns) / 100 * 100;
  const std::uint64_t c = key_counter.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t x = (t ^ (c * 0x9E3779B97F4A7C15ull)) | 1;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

std::array<std::uint8_t, 16> ws_key_bytes() {
  std::array<std::uint8_t, 16> out{};
  for (int half = 0; half < 2; ++half) {
    const std::uint64_t value = ws_random_u64();
    for (int i = 0; i < 8; ++i) out[half * 8 + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return out;
}

std::string websocket_accept_key(std::string_view key) {
  std::string text(key);
  text += kGuid;
  const auto digest = sha1(std::string_view(text));
  return base64_encode(digest);
}

std::string ws_upgrade_request(const Target& target, std::string_view key) {
  const std::string_view path = target.path.empty() ? std::string_view("/") : target.path;
  return fmt::format(
      "GET {} HTTP/1.1\r\nHost: {}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: {}\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: "
      "binary\r\n\r\n",
      path, target.address, key);
}

ConnectResult<Transport> ws_upgrade(UniqueFd socket, const Target& target,
                                    std::chrono::milliseconds step) {
  const StepDeadline deadline(step);
  const std::string key = new_key();
  const std::string request = ws_upgrade_request(target, key);
  // The request is far smaller than any socket buffer: only the answer is waited for.
  if (auto s = fd_write_all(socket.get(), as_bytes(request), true); !s) {
    return handshake_error(s.message());
  }
  auto response = read_response([&]() -> Result<std::uint8_t> {
    pollfd p{socket.get(), POLLIN, 0};
    auto ready = poll_until(std::span(&p, 1), &deadline);
    if (!ready) return ready.error();
    if (!*ready) return fail("{}", deadline.text());
    std::uint8_t byte = 0;
    if (auto s = fd_read_exact(socket.get(), std::span(&byte, 1)); !s) return s.error();
    return byte;
  });
  if (!response) return handshake_error(response.message());
  if (auto s = check_response(*response, key); !s) return handshake_error(s.message());
  Transport::Ws ws;
  ws.socket = std::move(socket);
  return Transport{std::move(ws)};
}

ConnectResult<Transport> ws_upgrade(std::shared_ptr<TlsStream> stream, const Target& target,
                                    std::chrono::milliseconds step) {
  const StepDeadline deadline(step);
  const std::string key = new_key();
  const std::string request = ws_upgrade_request(target, key);
  for (auto rest = as_bytes(request); !rest.empty();) {
    auto n = tls_write(*stream, rest, &deadline);
    if (!n) return handshake_error(n.message());
    rest = rest.subspan(*n);
  }
  auto response = read_response([&]() -> Result<std::uint8_t> {
    std::uint8_t byte = 0;
    if (auto s = tls_read_exact(*stream, std::span(&byte, 1), &deadline); !s) return s.error();
    return byte;
  });
  if (!response) return handshake_error(response.message());
  if (auto s = check_response(*response, key); !s) return handshake_error(s.message());
  Transport::Wss wss;
  wss.stream = std::move(stream);
  return Transport{std::move(wss)};
}

std::vector<std::uint8_t> ws_encode_frame(WsOpcode opcode, std::span<const std::uint8_t> payload,
                                          std::array<std::uint8_t, 4> mask) {
  std::vector<std::uint8_t> frame;
  frame.reserve(payload.size() + 14);
  frame.push_back(static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode)));
  const std::uint64_t length = payload.size();
  if (length <= 125) {
    frame.push_back(static_cast<std::uint8_t>(0x80 | length));
  } else if (length <= 0xFFFF) {
    frame.push_back(0xFE);
    frame.push_back(static_cast<std::uint8_t>(length >> 8));
    frame.push_back(static_cast<std::uint8_t>(length));
  } else {
    frame.push_back(0xFF);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<std::uint8_t>(length >> shift));
    }
  }
  frame.insert(frame.end(), mask.begin(), mask.end());
  for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ mask[i % 4]);
  return frame;
}

std::array<std::uint8_t, 4> ws_new_mask() {
  const auto value = static_cast<std::uint32_t>(ws_random_u64());
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Status ws_write_frame(Transport::Ws& ws, WsOpcode opcode, std::span<const std::uint8_t> payload) {
  const auto frame = ws_encode_frame(opcode, payload, ws_new_mask());
  std::lock_guard lock(ws.pongs->write_mutex);
  return fd_write_all(ws.socket.get(), frame, true);
}

Status ws_write_frame_tls(TlsStream& stream, WsOpcode opcode,
                          std::span<const std::uint8_t> payload) {
  const auto frame = ws_encode_frame(opcode, payload, ws_new_mask());
  return tls_write_all(stream, frame);
}

Result<std::size_t> ws_read_some(Transport::Ws& ws, std::span<std::uint8_t> out) {
  return read_some(PlainIo{ws}, ws, out);
}

Result<std::size_t> ws_read_some(Transport::Wss& wss, std::span<std::uint8_t> out) {
  return read_some(TlsIo{*wss.stream, *wss.pongs}, wss, out);
}

}  // namespace nolv
