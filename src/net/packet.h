// Packet values: what every received packet and internal event carries (`Yaml` items plus raw
// chunks), what every outgoing packet is built from (`Value`), and the accessors that read them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/backlog.h"

namespace nolv {

using Bytes = std::vector<std::uint8_t>;

// The value of every received item. The variant order is the tag number the system uses.
class Yaml {
 public:
  enum class Kind : std::uint8_t {
    Real = 0,
    Integer = 1,
    String = 2,
    Boolean = 3,
    Array = 4,
    Hash = 5,
    Alias = 6,
    Null = 7,
    BadValue = 8,
  };
  using Array = std::vector<Yaml>;
  using Hash = std::vector<std::pair<Yaml, Yaml>>;  // document order

  Yaml() : v_(NullTag{}) {}
  static Yaml real(std::string text) { return Yaml(RealText{std::move(text)}); }
  static Yaml integer(std::int64_t v) { return Yaml(v); }
  static Yaml string(std::string s) { return Yaml(std::move(s)); }
  static Yaml boolean(bool b) { return Yaml(b); }
  static Yaml array(Array items) { return Yaml(std::move(items)); }
  static Yaml hash(Hash pairs) { return Yaml(std::move(pairs)); }
  static Yaml alias(std::uint64_t id) { return Yaml(AliasId{id}); }
  static Yaml null() { return Yaml(); }
  static Yaml bad_value() { return Yaml(BadTag{}); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is(Kind k) const { return kind() == k; }

  // Each returns null / absent unless the value is of exactly that variant.
  const std::string* as_real_text() const {
    auto* r = std::get_if<RealText>(&v_);
    return r ? &r->text : nullptr;
  }
  std::optional<std::int64_t> as_integer() const {
    auto* i = std::get_if<std::int64_t>(&v_);
    return i ? std::optional(*i) : std::nullopt;
  }
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  std::optional<bool> as_boolean() const {
    auto* b = std::get_if<bool>(&v_);
    return b ? std::optional(*b) : std::nullopt;
  }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  const Hash* as_hash() const { return std::get_if<Hash>(&v_); }
  Array* as_array() { return std::get_if<Array>(&v_); }
  Hash* as_hash() { return std::get_if<Hash>(&v_); }
  std::optional<std::uint64_t> as_alias() const {
    auto* a = std::get_if<AliasId>(&v_);
    return a ? std::optional(a->id) : std::nullopt;
  }

  friend bool operator==(const Yaml&, const Yaml&) = default;

 private:
  struct RealText {
    std::string text;
    friend bool operator==(const RealText&, const RealText&) = default;
  };
  struct AliasId {
    std::uint64_t id;
    friend bool operator==(const AliasId&, const AliasId&) = default;
  };
  struct NullTag {
    friend bool operator==(const NullTag&, const NullTag&) = default;
  };
  struct BadTag {
    friend bool operator==(const BadTag&, const BadTag&) = default;
  };
  using Variant = std::variant<RealText, std::int64_t, std::string, bool, Array, Hash, AliasId,
                               NullTag, BadTag>;
  template <typename T>
  explicit Yaml(T v) : v_(std::move(v)) {}
  Variant v_;
};

// One received packet or internal event. Moved whole between threads, never shared.
struct Packet {
  std::vector<Yaml> items;
  std::map<std::uint8_t, Bytes> chunks;  // raw chunks by chunk index, 1 to 15
  std::optional<std::uint64_t> decode_time_us;
  // What the packet holds in the session's budget while it waits to be dealt with; given back
  // when the packet is dropped. Empty for events that nothing bounds.
  BacklogCharge charge;
  // A decoded picture's pixels in the decoded-pictures budget, beside what its draw's parsed
  // items still hold in `charge` until the picture is painted.
  BacklogCharge picture_charge;
  // Set by the reader on every packet read from the connection, so that a server cannot pass
  // off a packet as one of the program's own internal events.
  bool from_server = false;
};

// An internal event: a message from one of the program's own threads to the event-loop thread,
// shaped like a server packet: two String items [name, payload], no chunks, no decode time.
Packet make_internal_event(std::string name, std::string payload);

// What a packet costs in memory beyond its chunk bytes and its parsed items: the packet itself,
// its chunk map and the allocator's share of each block.
inline constexpr std::uint64_t kPacketFootprint = 256;

// The value of every outgoing packet: objects keep their keys sorted, numbers are unsigned,
// signed or floating. An outgoing packet is an array whose first item is the packet type.
using Value = nlohmann::json;

// "Packet { type: String("hello") }"
std::string to_string(const Packet& packet);
// String("hello"), Integer(5), Real("1.5"), Array([...]), Hash({k: v}), Alias(3), Null, BadValue
std::string to_string(const Yaml& value);

// Packet item accessors. An index at or beyond the item count reads as a value of another type.
std::int32_t packet_get_i32(const std::vector<Yaml>& items, std::uint8_t index);
std::uint32_t packet_get_u32(const std::vector<Yaml>& items, std::uint8_t index);
std::int64_t packet_get_i64(const std::vector<Yaml>& items, std::uint8_t index);
std::uint64_t packet_get_usize(const std::vector<Yaml>& items, std::uint8_t index);
std::string packet_get_str(const std::vector<Yaml>& items, std::uint8_t index);
bool packet_get_bool(const std::vector<Yaml>& items);  // always item 1
// Takes the raw chunk of that index out of the packet, else decodes the item's base64 text.
Bytes packet_get_bytes(Packet& packet, std::uint8_t index);

// Single-value accessors.
Bytes decode_yaml_bytes(const Yaml& value);
std::string yaml_to_string(const Yaml& value);
std::optional<bool> yaml_as_bool(const Yaml* value);
std::optional<std::uint64_t> yaml_as_uint(const Yaml* value);

// Map accessors: only String keys equal byte for byte match.
const Yaml* yaml_map_get(const Yaml::Hash& map, std::string_view key);
const Yaml* yaml_dict_get(const Yaml& container, std::string_view key);
std::optional<bool> yaml_dict_get_bool(const Yaml& container, std::string_view key);
std::optional<std::uint64_t> yaml_dict_get_uint(const Yaml& container, std::string_view key);
std::optional<std::int64_t> yaml_dict_get_positive(const Yaml& container, std::string_view key);
std::optional<std::uint32_t> yaml_dict_get_int(const Yaml& container, std::string_view key);
std::optional<std::string> yaml_dict_get_string(const Yaml& container, std::string_view key);
std::optional<std::pair<std::uint32_t, std::uint32_t>> yaml_dict_get_size(const Yaml& container,
                                                                          std::string_view key);
std::optional<std::vector<std::string>> yaml_dict_get_str_list(const Yaml& container,
                                                               std::string_view key);
std::vector<std::string> yaml_dict_get_list(const Yaml& container, std::string_view key);

}  // namespace nolv
