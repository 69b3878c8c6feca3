#include "base/utf8_lossy.h"

#include "base/text.h"

namespace tavo {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the invalid sequence at `i`: the lead byte and the continuation bytes that
// could still have completed it.
std::size_t invalid_length(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t needed;
  unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  std::size_t length = 1;
  while (length <= needed && i + length < bytes.size()) {
    const auto next = static_cast<unsigned char>(bytes[i + length]);
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return length;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    if (std::size_t length = decode_utf8(bytes, i, c); length > 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      i += invalid_length(bytes, i);
    }
  }
  return out;
}

}  // namespace tavo
