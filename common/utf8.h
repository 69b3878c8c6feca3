// UTF-8 encoding and strict decoding of one code point, shared by the program and winsim.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// Decodes the sequence that starts at text[i] into `out`. Returns its length in bytes, or 0
// when the bytes there are not a valid sequence (overlong forms and surrogates included).
inline std::size_t decode(std::string_view text, std::size_t i, char32_t& out) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  const std::size_t length = b0 < 0x80           ? 1
                             : (b0 >> 5) == 0x6  ? 2
                             : (b0 >> 4) == 0xE  ? 3
                             : (b0 >> 3) == 0x1E ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  char32_t c = length == 1   ? b0
               : length == 2 ? (b0 & 0x1Fu)
               : length == 3 ? (b0 & 0x0Fu)
                             : (b0 & 0x07u);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3Fu);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  out = c;
  return length;
}

inline void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace utf8
