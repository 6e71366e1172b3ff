// UTF-8 and white-space helpers for user-typed text (options, environment, dialogs).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nolv {

// One code point of UTF-8 text, or one raw byte (valid = false) where the text is not UTF-8.
struct CodePoint {
  char32_t value;
  std::size_t length;
  bool valid;
};
CodePoint next_code_point(std::string_view text, std::size_t offset);
bool is_valid_utf8(std::string_view text);
std::size_t count_code_points(std::string_view text);
void append_utf8(std::string& out, char32_t c);
// The one character of a text that is exactly one well-formed UTF-8 character.
std::optional<char32_t> single_code_point(std::string_view text);
// Drops the text's last code point (a byte that is not UTF-8 counts as one); none when empty.
void remove_last_code_point(std::string& text);
// A byte that continues a UTF-8 sequence and never starts one.
constexpr bool is_utf8_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}
// Overwrites a secret (a typed password) before its memory is released, and empties it.
void wipe_secret(std::string& secret);

// The C0 and C1 controls and DEL, which typed text leaves out.
constexpr bool is_control_character(char32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}
// Unicode White_Space.
bool is_white_space(char32_t c);
// The text without leading and trailing white space.
std::string_view trim_white_space(std::string_view text);

// ASCII letters lower-cased; every other byte (UTF-8 sequences included) as it is.
char ascii_lower(char c);
std::string ascii_lowercase(std::string_view text);
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// The well-formed UTF-8 sequence that starts at `offset` (below the text's size): the length its
// first byte calls for (0 when that byte never starts one) and how many of its bytes are there
// and in range. A sequence is whole when both are equal.
struct Utf8Prefix {
  std::size_t length;
  std::size_t matched;
};
Utf8Prefix utf8_prefix(std::string_view bytes, std::size_t offset);

// The text with every invalid UTF-8 sequence replaced by U+FFFD, one per maximal invalid prefix.
std::string utf8_lossy(std::string_view bytes);

}  // namespace nolv
