// Short builders for the packet items that tests hand to the session and its threads.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "net/serde.h"

namespace nolv {

inline Yaml S(std::string s) {
  return Yaml::string(std::move(s));
}
inline Yaml I(std::int64_t i) {
  return Yaml::integer(i);
}
inline Yaml B(bool b) {
  return Yaml::boolean(b);
}
inline Yaml A(std::vector<Yaml> items) {
  return Yaml::array(std::move(items));
}
// A map with string keys, in the order given.
inline Yaml H(std::vector<std::pair<std::string, Yaml>> pairs = {}) {
  Yaml::Hash hash;
  for (auto& [k, v] : pairs) hash.emplace_back(Yaml::string(k), std::move(v));
  return Yaml::hash(std::move(hash));
}

}  // namespace nolv
