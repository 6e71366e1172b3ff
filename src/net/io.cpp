#include "net/io.h"

#include <lz4.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "net/serde.h"
#include "util/format.h"
#include "util/growing_read.h"
#include "util/log.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::net::io";
constexpr std::string_view kClientLog = "nolv::client::client";

constexpr std::string_view kMissingByte = "expected another byte, found none";

// What walking a block's sequences finds without writing anything: the first fault of its
// format, or the number of bytes it produces.
struct Lz4Walk {
  std::optional<std::string> fault;
  std::uint64_t produced = 0;
};

Lz4Walk walk_lz4_block(std::span<const std::uint8_t> block) {
  std::size_t in = 0;
  std::uint64_t out = 0;
  auto length_with_extensions = [&](std::uint64_t& length) -> bool {
    if (length != 15) return true;
    for (;;) {
      if (in >= block.size()) return false;
      const std::uint8_t more = block[in++];
      length += more;
      if (more != 255) return true;
    }
  };
  auto fault = [](std::string_view cause) { return Lz4Walk{std::string(cause), 0}; };
  for (;;) {
    if (in >= block.size()) return fault(kMissingByte);
    const std::uint8_t token = block[in++];
    std::uint64_t literals = token >> 4;
    if (!length_with_extensions(literals)) return fault(kMissingByte);
    if (literals > block.size() - in) return fault("literal is out of bounds of the input");
    in += literals;
    out += literals;
    if (in == block.size()) break;  // the last sequence holds only literals
    if (block.size() - in < 2) return fault(kMissingByte);
    const std::uint32_t offset = block[in] | (block[in + 1] << 8);
    in += 2;
    if (offset == 0) return fault("0 is not a valid match offset");
    if (offset > out)
      return fault("the offset to copy is not contained in the decompressed buffer");
    std::uint64_t match = token & 0x0F;
    if (!length_with_extensions(match)) return fault(kMissingByte);
    out += match + 4;
  }
  return Lz4Walk{std::nullopt, out};
}

// Why liblz4 refused a block; liblz4 itself only says that it failed.
std::string lz4_failure_cause(std::span<const std::uint8_t> block, std::uint64_t capacity) {
  const Lz4Walk walk = walk_lz4_block(block);
  if (walk.fault) return *walk.fault;
  if (walk.produced > capacity) {
    return fmt::format(
        "provided output is too small for the decompressed data, actual {}, "
        "expected {}",
        capacity, walk.produced);
  }
  return "the block breaks the format's end-of-block rules";
}

// The most a block of `block_size` bytes can produce. Within one sequence the token, the two
// offset bytes and a final length byte below 255 yield at most 4 + 15 + 254 match bytes, each
// literal byte yields one, and each length byte of 255 yields 255: no byte yields more than
// 255, so a size prefix above 255 times the block is a lie and is refused before allocating.
constexpr std::uint64_t kLz4MaxExpansion = 255;

// Why a read ended: the thread posts one "connection-lost" or one "invalid-packet".
struct ReadFailure {
  bool invalid_packet = false;
  std::string reason;
};

ReadFailure connection_lost(std::string reason) {
  return ReadFailure{false, std::move(reason)};
}

// One read from the transport asks for at most this much; every packet that the bytes at hand
// hold is parsed without another read. A payload this large or larger is read straight into
// its own buffer instead.
constexpr std::size_t kReadBufferSize = 64 * 1024;

class PacketReader {
 public:
  // `before_read` runs before every read from the transport, which may block; when it returns
  // false, reading stops and `stopped()` is true.
  PacketReader(Transport& transport, std::shared_ptr<Backlog> backlog,
               std::function<bool()> before_read)
      : transport_(transport),
        backlog_(std::move(backlog)),
        before_read_(std::move(before_read)),
        buffer_(kReadBufferSize) {}

  bool stopped() const { return stopped_; }

  // One whole packet, chunks included.
  Result<Packet> next(ReadFailure& failure) {
    const auto started = std::chrono::steady_clock::now();
    std::map<std::uint8_t, Bytes> chunks;
    std::uint32_t chunk_count = 0;
    for (;;) {
      std::array<std::uint8_t, 8> raw{};
      if (Status s = read_exact(raw); !s) return lost_reading(failure, s.error());
      // The formatting would run for every frame even with tracing off.
      if (log_enabled(LogLevel::Trace)) log_trace(kLog, "read_packet header={}", format_bytes(raw));
      const PacketHeader header = PacketHeader::parse(raw);
      if (header.magic != kPacketMagic) {
        return lost(failure, fail("invalid packet header byte: {}", header.magic));
      }
      log_trace(kLog, "read_packet index={} payload_size={}", header.chunk_index,
                header.payload_size);
      if (header.chunk_index > kMaxChunkIndex) {
        return lost(failure, fail("invalid chunk index: {}", header.chunk_index));
      }
      if (header.payload_size > kMaxPayloadSize) {
        return lost(failure, fail("payload size {} exceeds the maximum of {}", header.payload_size,
                                  kMaxPayloadSize));
      }
      Bytes payload;
      if (Status s = append_growing(payload, header.payload_size,
                                    [&](std::span<std::uint8_t> tail) { return read_exact(tail); });
          !s) {
        return lost_reading(failure, s.error());
      }

      if (header.chunk_index != 0) {
        if (chunk_count == kMaxChunksPerPacket) {
          return lost(failure, fail("too many chunks: {}", chunk_count + 1));
        }
        ++chunk_count;
        if (chunks.contains(header.chunk_index)) {
          return lost(failure, fail("duplicate chunk at index {}", header.chunk_index));
        }
        if (header.compression != 0) {
          Result<Bytes> plain = decompress_payload(header.compression, payload);
          if (!plain) {
            log_warn(kLog, "dropping chunk {}: {}", header.chunk_index, plain.message());
            continue;
          }
          payload = std::move(*plain);
        }
        chunks.emplace(header.chunk_index, std::move(payload));
        continue;
      }

      if ((header.flags & kFlagTextPayload) == 0) {
        return lost(failure, fail("unsupported packet encoding: {}", header.flags));
      }
      if (header.compression != 0) {
        Result<Bytes> plain = decompress_payload(header.compression, payload);
        if (!plain) return lost(failure, plain.error());
        payload = std::move(*plain);
      }
      std::uint64_t chunk_bytes = 0;
      for (const auto& [index, bytes] : chunks) chunk_bytes += bytes.size();
      const std::uint64_t total = chunk_bytes + payload.size();
      const auto elapsed = std::chrono::steady_clock::now() - started;

      if (Status utf8 = check_utf8(payload); !utf8) return invalid(failure, utf8.error());
      const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
      Result<ParsedItems> parsed = parse_packet_items(text);
      if (!parsed) return invalid(failure, parsed.error());

      Packet packet;
      packet.items = std::move(parsed->items);
      packet.chunks = std::move(chunks);
      const std::string* name = packet.items.empty() ? nullptr : packet.items.front().as_string();
      const bool draw = name != nullptr && (*name == "draw" || *name == "window-draw");
      // What the packet holds, not what it took on the wire: a parsed value takes many times its
      // text, and the payload text itself is gone once parsed.
      packet.charge =
          BacklogCharge(backlog_, chunk_bytes + parsed->memory + kPacketFootprint, draw ? 1 : 0);
      packet.from_server = true;
      if (log_enabled(LogLevel::Trace) && name != nullptr) {
        if (*name == "draw") {
          log_trace(kClientLog, "perf: draw packet: {} bytes read (network) in {}", total,
                    format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed)));
        }
      }
      return packet;
    }
  }

 private:
  static Error lost(ReadFailure& failure, const Error& error, bool from_stream = false) {
    log_debug(kClientLog, "read loop terminated: {}", log_value(error.message));
    failure = connection_lost(from_stream && is_closed_by_peer(error)
                                  ? std::string("connection closed by the server")
                                  : error.message);
    return error;
  }
  // Once the event loop is gone the thread ends without a word.
  Error lost_reading(ReadFailure& failure, const Error& error) const {
    return stopped_ ? error : lost(failure, error, true);
  }
  static Error invalid(ReadFailure& failure, const Error& error) {
    failure = ReadFailure{true, error.message};
    return error;
  }

  // Fills `out` from the bytes at hand first, then from the transport, never asking it for more
  // than the buffer holds.
  Status read_exact(std::span<std::uint8_t> out) {
    for (;;) {
      const std::size_t take = std::min(out.size(), end_ - start_);
      if (take > 0) std::memcpy(out.data(), buffer_.data() + start_, take);
      start_ += take;
      out = out.subspan(take);
      if (out.empty()) return {};
      if (!before_read_()) {
        stopped_ = true;
        return fail("the event loop is gone");
      }
      start_ = end_ = 0;
      if (out.size() >= buffer_.size()) return conn_read_exact(transport_, out);
      Result<std::size_t> n = conn_read_some(transport_, buffer_);
      if (!n) return n.error();
      end_ = *n;
    }
  }

  Transport& transport_;
  std::shared_ptr<Backlog> backlog_;
  std::function<bool()> before_read_;
  Bytes buffer_;
  std::size_t start_ = 0;  // the bytes at hand: buffer_[start_, end_)
  std::size_t end_ = 0;
  bool stopped_ = false;
};

}  // namespace

PacketHeader PacketHeader::parse(std::span<const std::uint8_t, 8> b) {
  return PacketHeader{b[0], b[1], b[2], b[3],
                      static_cast<std::uint32_t>(b[4]) << 24 |
                          static_cast<std::uint32_t>(b[5]) << 16 |
                          static_cast<std::uint32_t>(b[6]) << 8 | static_cast<std::uint32_t>(b[7])};
}

std::array<std::uint8_t, 8> PacketHeader::bytes() const {
  return {magic,
          flags,
          compression,
          chunk_index,
          static_cast<std::uint8_t>(payload_size >> 24),
          static_cast<std::uint8_t>(payload_size >> 16),
          static_cast<std::uint8_t>(payload_size >> 8),
          static_cast<std::uint8_t>(payload_size)};
}

Result<Bytes> decompress_payload(std::uint8_t compression, std::span<const std::uint8_t> payload) {
  if ((compression & kCompressionLz4) == 0) {
    return fail("unsupported compression flag: {:#x}", compression);
  }
  if (payload.size() < 4) return fail("lz4 decompression failed: {}", kMissingByte);
  const std::uint32_t size =
      static_cast<std::uint32_t>(payload[0]) | static_cast<std::uint32_t>(payload[1]) << 8 |
      static_cast<std::uint32_t>(payload[2]) << 16 | static_cast<std::uint32_t>(payload[3]) << 24;
  if (size > kMaxDecompressedSize) {
    return fail("lz4 decompression failed: the size prefix {} exceeds the maximum of {}", size,
                kMaxDecompressedSize);
  }
  const std::span<const std::uint8_t> block = payload.subspan(4);
  if (block.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return fail("lz4 decompression failed: the block of {} bytes is too large", block.size());
  }
  const std::uint64_t most = kLz4MaxExpansion * block.size();
  if (size > most) {
    const Lz4Walk walk = walk_lz4_block(block);
    if (walk.fault) return fail("lz4 decompression failed: {}", *walk.fault);
    return fail(
        "lz4 decompression failed: the size prefix {} is more than a block of {} bytes can "
        "produce ({})",
        size, block.size(), most);
  }
  Bytes out(size);
  std::uint8_t none = 0;  // a valid destination even for an empty output
  const int produced =
      LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                          reinterpret_cast<char*>(out.empty() ? &none : out.data()),
                          static_cast<int>(block.size()), static_cast<int>(size));
  if (produced < 0) return fail("lz4 decompression failed: {}", lz4_failure_cause(block, size));
  out.resize(static_cast<std::size_t>(produced));
  out.shrink_to_fit();  // a generous prefix keeps no memory beyond the bytes produced
  return out;
}

void read_packet(Transport transport, EventLoopProxy proxy, std::shared_ptr<Backlog> backlog) {
  // Packets parsed from the bytes at hand go to the event loop together, in order, before the
  // reader waits for anything: the transport or room in the budget.
  std::vector<Packet> batch;
  bool loop_gone = false;
  auto hand_over = [&] {
    if (!batch.empty() && !loop_gone) loop_gone = !proxy.send_events(std::exchange(batch, {}));
    return !loop_gone;
  };
  PacketReader reader(transport, backlog, hand_over);
  for (;;) {
    if (backlog != nullptr) {
      if (!backlog->has_room() && !hand_over()) return;
      if (!backlog->wait_for_room()) return;  // the session is over
    }
    ReadFailure failure;
    Result<Packet> packet = reader.next(failure);
    if (reader.stopped()) return;  // the event loop is gone
    if (!packet) {
      if (!hand_over()) return;
      (void)proxy.send_event(make_internal_event(
          failure.invalid_packet ? "invalid-packet" : "connection-lost", failure.reason));
      return;
    }
    batch.push_back(std::move(*packet));
  }
}

Bytes encode_packet(const Value& packet) {
  const std::string json = packet.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (json.size() > std::numeric_limits<std::uint32_t>::max()) return {};
  PacketHeader header;
  header.payload_size = static_cast<std::uint32_t>(json.size());
  const auto head = header.bytes();
  Bytes out;
  out.reserve(head.size() + json.size());
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

}  // namespace nolv
