// The packet layer over a byte stream: the framing of every packet and chunk, the "reader" thread
// body that turns received frames into `Packet`s, and the encoding and writing of outgoing ones.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "net/backlog.h"
#include "net/connect.h"
#include "net/packet.h"
#include "platform/event_proxy.h"
#include "util/result.h"

namespace nolv {

inline constexpr std::uint8_t kPacketMagic = 0x50;       // "P"
inline constexpr std::uint8_t kFlagTextPayload = 0x04;   // main packets must carry it
inline constexpr std::uint8_t kCompressionLz4 = 0x10;    // the only bit that counts
inline constexpr std::uint8_t kMaxChunkIndex = 15;       // chunk indexes are 1..15
inline constexpr std::uint32_t kMaxChunksPerPacket = 3;  // chunk headers before one main packet

// A 4K picture (3840 x 2160 x 4 bytes, about 32 MiB) or a large clipboard fits many times over;
// a header or size prefix above it is refused before anything is allocated.
inline constexpr std::uint64_t kMaxPayloadSize = 256ull * 1024 * 1024;
inline constexpr std::uint64_t kMaxDecompressedSize = 256ull * 1024 * 1024;

// The 8 bytes in front of every main packet and raw chunk.
struct PacketHeader {
  std::uint8_t magic = kPacketMagic;
  std::uint8_t flags = kFlagTextPayload;
  std::uint8_t compression = 0;
  std::uint8_t chunk_index = 0;
  std::uint32_t payload_size = 0;  // big-endian on the wire

  static PacketHeader parse(std::span<const std::uint8_t, 8> bytes);
  std::array<std::uint8_t, 8> bytes() const;

  friend bool operator==(const PacketHeader&, const PacketHeader&) = default;
};

// A payload with compression byte `compression` (bit 0x10: 4-byte little-endian size prefix,
// then one LZ4 block); the result is exactly the bytes the block produced. Fails with
// "unsupported compression flag: 0x.." or "lz4 decompression failed: {cause}".
[[nodiscard]] Result<Bytes> decompress_payload(std::uint8_t compression,
                                               std::span<const std::uint8_t> payload);

// The "reader" thread body: posts every received packet, and on the first error one
// "connection-lost" or "invalid-packet" event; ends then, when the event loop is gone, or when
// `backlog` closes. Each packet is charged to `backlog` until it is dropped, and no packet is
// read while the backlog is at its limit (none: no bound).
void read_packet(Transport transport, EventLoopProxy proxy,
                 std::shared_ptr<Backlog> backlog = nullptr);

// One outgoing packet as written: header 0x50 0x04 0x00 0x00, the JSON length big-endian, then
// compact JSON (sorted keys; invalid UTF-8 in strings replaced by U+FFFD). Empty when the JSON
// text has 4 GiB or more, which the 32-bit length cannot frame.
[[nodiscard]] Bytes encode_packet(const Value& packet);

}  // namespace nolv
