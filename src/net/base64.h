// Strict base64 (standard alphabet, canonical padding, zero trailing bits).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/result.h"

namespace nolv {

struct Base64InvalidByte {
  std::size_t offset;
  std::uint8_t byte;
};
struct Base64InvalidLength {
  std::size_t length;
};
struct Base64InvalidLastSymbol {
  std::size_t offset;
  std::uint8_t byte;
};
struct Base64InvalidPadding {};
using Base64Error = std::variant<Base64InvalidByte, Base64InvalidLength, Base64InvalidLastSymbol,
                                 Base64InvalidPadding>;

// "InvalidByte(3, 13)", "InvalidLength(5)", "InvalidLastSymbol(7, 66)", "InvalidPadding"
std::string to_string(const Base64Error& error);

std::string base64_encode(std::span<const std::uint8_t> bytes);

// The decoded bytes, or the first fault of the text.
std::variant<std::vector<std::uint8_t>, Base64Error> base64_decode(std::string_view text);

}  // namespace nolv
