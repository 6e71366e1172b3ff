#include "net/base64.h"

#include <array>

#include <fmt/format.h>

#include "util/overload.h"

namespace nolv {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xff;
constexpr std::uint8_t kPad = '=';

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<std::uint8_t>(kAlphabet[i])] = i;
  return t;
}
constexpr auto kTable = make_table();

}  // namespace

std::string to_string(const Base64Error& error) {
  return std::visit(
      Overload{
          [](const Base64InvalidByte& e) {
            return fmt::format("InvalidByte({}, {})", e.offset, e.byte);
          },
          [](const Base64InvalidLength& e) { return fmt::format("InvalidLength({})", e.length); },
          [](const Base64InvalidLastSymbol& e) {
            return fmt::format("InvalidLastSymbol({}, {})", e.offset, e.byte);
          },
          [](const Base64InvalidPadding&) { return std::string("InvalidPadding"); },
      },
      error);
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t n = bytes[i] << 16;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

// Every quad but the last is decoded plainly; the last one (which may hold padding) is checked
// for misplaced padding, a lone symbol, non-canonical padding and non-zero trailing bits, in
// that order, so each text has exactly one reported fault.
std::variant<std::vector<std::uint8_t>, Base64Error> base64_decode(std::string_view text) {
  const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const std::size_t rem = n % 4;
  if (rem == 1 && in[n - 1] != kPad && kTable[in[n - 1]] == kInvalid) {
    return Base64InvalidByte{n - 1, in[n - 1]};
  }
  std::size_t body = n - rem;
  if (rem == 0) body = body >= 4 ? body - 4 : 0;

  std::vector<std::uint8_t> out;
  out.reserve(n / 4 * 3 + 3);
  for (std::size_t i = 0; i < body; i += 4) {
    std::uint32_t acc = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const std::uint8_t v = kTable[in[i + k]];
      if (v == kInvalid) return Base64InvalidByte{i + k, in[i + k]};
      acc = (acc << 6) | v;
    }
    out.push_back(static_cast<std::uint8_t>(acc >> 16));
    out.push_back(static_cast<std::uint8_t>(acc >> 8));
    out.push_back(static_cast<std::uint8_t>(acc));
  }

  std::array<std::uint8_t, 4> morsels{};
  std::size_t morsel_count = 0;
  std::size_t padding = 0;
  std::size_t first_padding = 0;
  std::uint8_t last_symbol = 0;
  for (std::size_t k = 0; body + k < n; ++k) {
    const std::uint8_t b = in[body + k];
    if (b == kPad) {
      if (k < 2) return Base64InvalidByte{body + k, b};
      if (padding == 0) first_padding = k;
      ++padding;
      continue;
    }
    if (padding > 0) return Base64InvalidByte{body + first_padding, kPad};
    const std::uint8_t v = kTable[b];
    if (v == kInvalid) return Base64InvalidByte{body + k, b};
    last_symbol = b;
    morsels[morsel_count++] = v;
  }
  if (n != 0 && morsel_count < 2) return Base64InvalidLength{body + morsel_count};
  if ((padding + morsel_count) % 4 != 0) return Base64InvalidPadding{};

  const std::size_t tail_bytes = morsel_count * 6 / 8;
  const std::uint32_t acc = (std::uint32_t{morsels[0]} << 26) | (std::uint32_t{morsels[1]} << 20) |
                            (std::uint32_t{morsels[2]} << 14) | (std::uint32_t{morsels[3]} << 8);
  const std::uint32_t unused = ~std::uint32_t{0} >> (tail_bytes * 8);
  if ((acc & unused) != 0) return Base64InvalidLastSymbol{body + morsel_count - 1, last_symbol};
  for (std::size_t k = 0; k < tail_bytes; ++k) {
    out.push_back(static_cast<std::uint8_t>(acc >> (24 - 8 * k)));
  }
  return out;
}

}  // namespace nolv
