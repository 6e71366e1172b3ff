#include "net/packet.h"

#include <fmt/format.h>

#include "net/base64.h"
#include "util/format.h"
#include "util/log.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::net::packet";

const Yaml* item_at(const std::vector<Yaml>& items, std::uint8_t index) {
  return index < items.size() ? &items[index] : nullptr;
}

std::optional<std::int64_t> integer_at(const std::vector<Yaml>& items, std::uint8_t index) {
  const Yaml* y = item_at(items, index);
  return y != nullptr ? y->as_integer() : std::nullopt;
}

// An unsigned decimal with an optional leading "+", below 2^64.
std::optional<std::uint64_t> unsigned_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

Packet make_internal_event(std::string name, std::string payload) {
  Packet packet;
  packet.items = {Yaml::string(std::move(name)), Yaml::string(std::move(payload))};
  return packet;
}

std::string to_string(const Yaml& value) {
  switch (value.kind()) {
    case Yaml::Kind::Real:
      return fmt::format("Real({})", quoted_text(*value.as_real_text()));
    case Yaml::Kind::Integer:
      return fmt::format("Integer({})", *value.as_integer());
    case Yaml::Kind::String:
      return fmt::format("String({})", quoted_text(*value.as_string()));
    case Yaml::Kind::Boolean:
      return fmt::format("Boolean({})", *value.as_boolean());
    case Yaml::Kind::Array: {
      std::string out = "Array([";
      bool first = true;
      for (const Yaml& item : *value.as_array()) {
        if (!first) out += ", ";
        first = false;
        out += to_string(item);
      }
      return out + "])";
    }
    case Yaml::Kind::Hash: {
      std::string out = "Hash({";
      bool first = true;
      for (const auto& [k, v] : *value.as_hash()) {
        if (!first) out += ", ";
        first = false;
        out += to_string(k) + ": " + to_string(v);
      }
      return out + "})";
    }
    case Yaml::Kind::Alias:
      return fmt::format("Alias({})", *value.as_alias());
    case Yaml::Kind::Null:
      return "Null";
    case Yaml::Kind::BadValue:
      return "BadValue";
  }
  return "BadValue";
}

std::string to_string(const Packet& packet) {
  const std::string type = packet.items.empty() ? "None" : to_string(packet.items[0]);
  return fmt::format("Packet {{ type: {} }}", type);
}

std::int32_t packet_get_i32(const std::vector<Yaml>& items, std::uint8_t index) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(integer_at(items, index).value_or(0)));
}

std::uint32_t packet_get_u32(const std::vector<Yaml>& items, std::uint8_t index) {
  return static_cast<std::uint32_t>(integer_at(items, index).value_or(0));
}

std::int64_t packet_get_i64(const std::vector<Yaml>& items, std::uint8_t index) {
  return integer_at(items, index).value_or(0);
}

std::uint64_t packet_get_usize(const std::vector<Yaml>& items, std::uint8_t index) {
  return static_cast<std::uint64_t>(integer_at(items, index).value_or(0));
}

std::string packet_get_str(const std::vector<Yaml>& items, std::uint8_t index) {
  const Yaml* y = item_at(items, index);
  return y != nullptr ? yaml_to_string(*y) : std::string();
}

bool packet_get_bool(const std::vector<Yaml>& items) {
  return yaml_as_bool(item_at(items, 1)).value_or(false);
}

Bytes packet_get_bytes(Packet& packet, std::uint8_t index) {
  if (auto it = packet.chunks.find(index); it != packet.chunks.end()) {
    Bytes bytes = std::move(it->second);
    packet.chunks.erase(it);
    return bytes;
  }
  const Yaml* y = item_at(packet.items, index);
  return y != nullptr ? decode_yaml_bytes(*y) : Bytes();
}

Bytes decode_yaml_bytes(const Yaml& value) {
  const std::string* text = value.as_string();
  if (text == nullptr) return {};
  std::string joined;
  joined.reserve(text->size());
  for (char c : *text) {
    if (c != '\n') joined += c;
  }
  auto decoded = base64_decode(joined);
  if (auto* bytes = std::get_if<Bytes>(&decoded)) return std::move(*bytes);
  log_warn(kLog, "failed to decode yaml bytes: {}",
           log_value(to_string(std::get<Base64Error>(decoded))));
  return {};
}

std::string yaml_to_string(const Yaml& value) {
  const std::string* s = value.as_string();
  return s != nullptr ? *s : std::string();
}

std::optional<bool> yaml_as_bool(const Yaml* value) {
  if (value == nullptr) return std::nullopt;
  if (auto b = value->as_boolean()) return *b;
  if (auto i = value->as_integer()) return *i != 0;
  return false;
}

std::optional<std::uint64_t> yaml_as_uint(const Yaml* value) {
  if (value == nullptr) return std::nullopt;
  auto i = value->as_integer();
  if (!i || *i < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*i);
}

const Yaml* yaml_map_get(const Yaml::Hash& map, std::string_view key) {
  for (const auto& [k, v] : map) {
    const std::string* s = k.as_string();
    if (s != nullptr && *s == key) return &v;
  }
  return nullptr;
}

const Yaml* yaml_dict_get(const Yaml& container, std::string_view key) {
  const Yaml::Hash* map = container.as_hash();
  return map != nullptr ? yaml_map_get(*map, key) : nullptr;
}

std::optional<bool> yaml_dict_get_bool(const Yaml& container, std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  if (v == nullptr) return std::nullopt;
  if (auto b = v->as_boolean()) return *b;
  if (auto i = v->as_integer()) return *i != 0;
  return std::nullopt;
}

std::optional<std::uint64_t> yaml_dict_get_uint(const Yaml& container, std::string_view key) {
  return yaml_as_uint(yaml_dict_get(container, key));
}

std::optional<std::int64_t> yaml_dict_get_positive(const Yaml& container, std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  if (v == nullptr) return std::nullopt;
  auto i = v->as_integer();
  if (!i || *i <= 0) return std::nullopt;
  return *i;
}

std::optional<std::uint32_t> yaml_dict_get_int(const Yaml& container, std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  if (v == nullptr) return std::nullopt;
  if (auto i = v->as_integer()) return static_cast<std::uint32_t>(*i);
  if (const std::string* real = v->as_real_text()) {
    if (auto n = unsigned_decimal(*real)) return static_cast<std::uint32_t>(*n);
  }
  return std::nullopt;
}

std::optional<std::string> yaml_dict_get_string(const Yaml& container, std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  if (v == nullptr || v->as_string() == nullptr) return std::nullopt;
  return *v->as_string();
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> yaml_dict_get_size(const Yaml& container,
                                                                          std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  const Yaml::Array* list = v != nullptr ? v->as_array() : nullptr;
  if (list == nullptr || list->size() < 2) return std::nullopt;
  auto w = (*list)[0].as_integer();
  auto h = (*list)[1].as_integer();
  constexpr std::int64_t kMax = 4294967295;
  if (!w || !h || *w < 1 || *w > kMax || *h < 1 || *h > kMax) return std::nullopt;
  return std::pair{static_cast<std::uint32_t>(*w), static_cast<std::uint32_t>(*h)};
}

std::optional<std::vector<std::string>> yaml_dict_get_str_list(const Yaml& container,
                                                               std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  const Yaml::Array* list = v != nullptr ? v->as_array() : nullptr;
  if (list == nullptr) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(list->size());
  for (const Yaml& item : *list) {
    if (item.as_string() == nullptr) return std::nullopt;
    out.push_back(*item.as_string());
  }
  return out;
}

std::vector<std::string> yaml_dict_get_list(const Yaml& container, std::string_view key) {
  const Yaml* v = yaml_dict_get(container, key);
  const Yaml::Array* list = v != nullptr ? v->as_array() : nullptr;
  std::vector<std::string> out;
  if (list == nullptr) return out;
  for (const Yaml& item : *list) {
    if (const std::string* s = item.as_string()) out.push_back(*s);
  }
  return out;
}

}  // namespace nolv
