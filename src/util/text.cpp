#include "util/text.h"

namespace nolv {

CodePoint next_code_point(std::string_view text, std::size_t offset) {
  const auto b0 = static_cast<unsigned char>(text[offset]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xe0) == 0xc0) {
    len = 2, cp = b0 & 0x1f, min = 0x80;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3, cp = b0 & 0x0f, min = 0x800;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {b0, 1, false};
  }
  if (offset + len > text.size()) return {b0, 1, false};
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[offset + k]);
    if ((b & 0xc0) != 0x80) return {b0, 1, false};
    cp = (cp << 6) | (b & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {b0, 1, false};
  return {cp, len, true};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint c = next_code_point(text, i);
    if (!c.valid) return false;
    i += c.length;
  }
  return true;
}

std::size_t count_code_points(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++n) i += next_code_point(text, i).length;
  return n;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

std::optional<char32_t> single_code_point(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const CodePoint c = next_code_point(text, 0);
  if (!c.valid || c.length != text.size()) return std::nullopt;
  return c.value;
}

void remove_last_code_point(std::string& text) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < text.size();) {
    last = i;
    i += next_code_point(text, i).length;
  }
  if (!text.empty()) text.erase(last);
}

void wipe_secret(std::string& secret) {
  volatile char* p = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  secret.clear();
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const CodePoint c = next_code_point(text, begin);
    if (!c.valid || !is_white_space(c.value)) break;
    begin += c.length;
  }
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    const CodePoint c = next_code_point(text, i);
    i += c.length;
    if (!c.valid || !is_white_space(c.value)) end = i;
  }
  return text.substr(begin, end - begin);
}

Utf8Prefix utf8_prefix(std::string_view bytes, std::size_t offset) {
  const auto first = static_cast<unsigned char>(bytes[offset]);
  if (first < 0x80) return {1, 1};
  // Overlong forms, surrogates and code points past U+10FFFF are ruled out by the range of the
  // second byte.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
  }
  if (length == 0) return {0, 0};
  std::size_t k = 1;
  for (; k < length && offset + k < bytes.size(); ++k) {
    const auto b = static_cast<unsigned char>(bytes[offset + k]);
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) break;
  }
  return {length, k};
}

std::string utf8_lossy(std::string_view bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Prefix p = utf8_prefix(bytes, i);
    if (p.length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    if (p.matched == p.length) {
      out.append(bytes.substr(i, p.length));
    } else {
      out += kReplacement;
    }
    i += p.matched;
  }
  return out;
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ascii_lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace nolv
