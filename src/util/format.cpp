#include "util/format.h"

#include <fmt/format.h>

namespace nolv {

namespace {

// Integer part, then up to `digits` fraction digits with trailing zeros removed.
std::string decimal(std::uint64_t whole, std::uint64_t fraction, int digits, const char* unit) {
  std::string out = fmt::format("{}", whole);
  if (fraction != 0) {
    std::string frac = fmt::format("{:0{}}", fraction, digits);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    out += '.';
    out += frac;
  }
  out += unit;
  return out;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds d) {
  const std::uint64_t ns = d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
  if (ns >= 1'000'000'000) return decimal(ns / 1'000'000'000, ns % 1'000'000'000, 9, "s");
  if (ns >= 1'000'000) return decimal(ns / 1'000'000, ns % 1'000'000, 6, "ms");
  if (ns >= 1'000) return decimal(ns / 1'000, ns % 1'000, 3, "µs");
  return fmt::format("{}ns", ns);
}

std::string log_value(std::string_view text) {
  if (text.size() <= kLogValueLimit) return std::string(text);
  std::size_t keep = kLogValueLimit;
  // Back off continuation bytes so that a multi-byte character is kept whole or not at all.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return fmt::format("{}…[{} bytes cut]", text.substr(0, keep), text.size() - keep);
}

std::string quoted_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", u);
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string format_bytes(std::span<const std::uint8_t> bytes) {
  return fmt::format("[{}]", fmt::join(bytes, ", "));
}

std::string log_bytes(std::span<const std::uint8_t> bytes) {
  std::string out = "[";
  std::size_t kept = 0;
  for (; kept < bytes.size() && out.size() < kLogValueLimit; ++kept) {
    if (kept > 0) out += ", ";
    out += fmt::format("{}", bytes[kept]);
  }
  out += ']';
  if (kept < bytes.size()) out += fmt::format("…[{} bytes cut]", bytes.size() - kept);
  return out;
}

std::string format_shortest(double value) {
  return fmt::format("{}", value);
}

}  // namespace nolv
