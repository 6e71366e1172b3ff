// Received payload text -> `Yaml` values: YAML 1.2 with core-schema resolution, floating values
// kept as text, maps in document order, repeated keys and bad UTF-8 refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/packet.h"
#include "util/result.h"

namespace nolv {

// Server packets nest a few levels; the bound keeps the recursive printing and destruction of a
// hostile document well inside the reader's 2 MiB stack.
inline constexpr std::size_t kMaxYamlDepth = 256;

// What the values of one packet may take in memory. A value takes tens of bytes however short
// its text, so a list of one-digit numbers takes some 20 times its payload: without a bound a
// payload of the largest size would take gigabytes. Twice the largest payload, so that any text or
// bytes a packet can carry fit.
inline constexpr std::uint64_t kMaxParsedPacketMemory = 512ull * 1024 * 1024;

// The items of one packet and what they take in memory (every value, the unused room of each
// list, the texts too long to live inside their value).
struct ParsedItems {
  std::vector<Yaml> items;
  std::uint64_t memory = 0;
};

// "invalid utf-8 sequence of {} bytes from index {}" or "incomplete utf-8 byte sequence from
// index {}".
[[nodiscard]] Status check_utf8(std::span<const std::uint8_t> bytes);

// How a plain scalar resolves under the core schema.
[[nodiscard]] Yaml resolve_plain_scalar(std::string_view text);

// Every document of the text, in order (none for an empty or blank text). A failure reads
// "{message} at byte {} line {} column {}", lines and columns counted from 1.
[[nodiscard]] Result<std::vector<Yaml>> load_yaml_documents(std::string_view text);

// A packet payload: exactly one document whose root is a sequence; its elements are the items.
// The error is the "invalid-packet" reason; values beyond `kMaxParsedPacketMemory` are one.
[[nodiscard]] Result<ParsedItems> parse_packet_items(std::string_view text);

}  // namespace nolv
