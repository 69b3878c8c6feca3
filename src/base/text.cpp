#include "base/text.h"

#include "utf8.h"

namespace tavo {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& out) {
  return utf8::decode(text, i, out);
}

void append_utf8(std::string& out, char32_t c) {
  utf8::append(out, c);
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t length = decode_utf8(text, i, c);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  // Leading: decode forwards.
  std::size_t start = 0;
  while (start < text.size()) {
    char32_t c = 0;
    std::size_t length = decode_utf8(text, start, c);
    if (length == 0 || !is_white_space(c)) break;
    start += length;
  }
  // Trailing: step back to the start of each sequence.
  std::size_t end = text.size();
  while (end > start) {
    std::size_t begin = end - 1;
    while (begin > start && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80)
      --begin;
    char32_t c = 0;
    if (decode_utf8(text, begin, c) != end - begin || !is_white_space(c)) break;
    end = begin;
  }
  return text.substr(start, end - start);
}

std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  // Back off over continuation bytes to the start of the sequence the cut would split.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return text.substr(0, end);
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace tavo
