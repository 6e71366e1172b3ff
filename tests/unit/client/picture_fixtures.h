// Picture fixtures of tests/data/pictures (made by its make-fixtures.sh) and draw packets.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "net/packet.h"

namespace nolv::test {

inline Bytes read_picture(const std::string& name) {
  std::ifstream in(std::string(NOLV_TEST_DATA) + "/pictures/" + name, std::ios::binary);
  if (!in) std::abort();
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// What a shell command writes to its standard output; empty when it cannot start.
inline Bytes run_to_bytes(const std::string& command) {
  Bytes out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::uint8_t chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    out.insert(out.end(), chunk, chunk + n);
  }
  (void)::pclose(pipe);
  return out;
}

inline Packet make_draw(std::uint64_t wid, std::int64_t width, std::int64_t height,
                        const std::string& coding, Bytes data, std::uint64_t sequence = 7,
                        std::optional<Yaml> options = std::nullopt) {
  Packet p;
  p.items = {Yaml::string("draw"),
             Yaml::integer(static_cast<std::int64_t>(wid)),
             Yaml::integer(0),
             Yaml::integer(0),
             Yaml::integer(width),
             Yaml::integer(height),
             Yaml::string(coding),
             Yaml::string(""),
             Yaml::integer(static_cast<std::int64_t>(sequence)),
             Yaml::integer(0)};
  if (options) p.items.push_back(*options);
  p.chunks[7] = std::move(data);
  return p;
}

inline Yaml full_range_option(bool full) {
  return Yaml::hash({{Yaml::string("full-range"), Yaml::boolean(full)}});
}

inline std::array<int, 4> pixel_at(const Bytes& pixels, int width, int x, int y) {
  const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 4;
  return {pixels[at], pixels[at + 1], pixels[at + 2], pixels[at + 3]};
}

inline bool near(int a, int b, int tolerance) {
  return std::abs(a - b) <= tolerance;
}

// NAL units of an Annex-B stream: (offset of the start code, NAL type).
struct Nal {
  std::size_t begin;
  std::size_t end;
  int type;
};
inline std::vector<Nal> nal_units(const Bytes& data) {
  std::vector<Nal> nals;
  for (std::size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (!nals.empty()) nals.back().end = i;
      nals.push_back({i, data.size(), data[i + 3] & 0x1f});
      i += 2;
    }
  }
  return nals;
}

// The stream's NAL units of these types, in order.
inline Bytes nals_of_types(const Bytes& data, std::initializer_list<int> types) {
  Bytes out;
  for (const Nal& nal : nal_units(data)) {
    for (int t : types) {
      if (nal.type == t) out.insert(out.end(), data.begin() + nal.begin, data.begin() + nal.end);
    }
  }
  return out;
}

}  // namespace nolv::test
