// The websocket client (subprotocol "binary"): the opening handshake, masked frames out, frames
// back into a byte stream for the packet reader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "net/connect.h"
#include "net/uri.h"
#include "util/result.h"

namespace nolv {

// Larger messages are refused before anything is allocated for them: one packet of the largest
// payload the framing takes (256 MiB) with its 8-byte header.
inline constexpr std::uint64_t kMaxWebsocketMessage = (256ull << 20) + 8;
// The handshake response is refused past this many bytes.
inline constexpr std::size_t kMaxHandshakeResponse = 8192;

enum class WsOpcode : std::uint8_t {
  Continuation = 0,
  Text = 1,
  Binary = 2,
  Close = 8,
  Ping = 9,
  Pong = 10
};

std::uint64_t ws_random_u64();
std::array<std::uint8_t, 16> ws_key_bytes();
// base64(SHA-1(key + the RFC 6455 GUID)).
std::string websocket_accept_key(std::string_view key);

// The request text sent by ws_upgrade.
std::string ws_upgrade_request(const Target& target, std::string_view key);

// The handshake over the plain socket (ws) or the TLS stream (wss), given up after `step`;
// failures are code 18, "websocket handshake failed: {}".
ConnectResult<Transport> ws_upgrade(UniqueFd socket, const Target& target,
                                    std::chrono::milliseconds step = kSetupStepDeadline);
ConnectResult<Transport> ws_upgrade(std::shared_ptr<TlsStream> stream, const Target& target,
                                    std::chrono::milliseconds step = kSetupStepDeadline);

// The whole frame as sent: FIN, opcode, MASK, the shortest length form, key, masked payload.
std::vector<std::uint8_t> ws_encode_frame(WsOpcode opcode, std::span<const std::uint8_t> payload,
                                          std::array<std::uint8_t, 4> mask);

// A fresh masking key: the low 32 bits of ws_random_u64, little-endian.
std::array<std::uint8_t, 4> ws_new_mask();

// One complete frame with a fresh masking key, never fragmented.
Status ws_write_frame(Transport::Ws& ws, WsOpcode opcode, std::span<const std::uint8_t> payload);
Status ws_write_frame_tls(TlsStream& stream, WsOpcode opcode,
                          std::span<const std::uint8_t> payload);

// The Ws/Wss branch of conn_read_exact: serves from the buffered message, reading frames (and
// answering pings) when it is used up. Returns the count copied, never 0 on success.
Result<std::size_t> ws_read_some(Transport::Ws& ws, std::span<std::uint8_t> out);
Result<std::size_t> ws_read_some(Transport::Wss& wss, std::span<std::uint8_t> out);

}  // namespace nolv
