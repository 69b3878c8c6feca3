#include "win/wide.h"

#include "base/text.h"

namespace tavo {
namespace {

// Decodes UTF-16; an unpaired surrogate either ends the decoding (strict) or becomes U+FFFD.
std::optional<std::string> decode(WideView utf16, bool strict) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = static_cast<char16_t>(utf16[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size()) {
      char32_t low = static_cast<char16_t>(utf16[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) return std::nullopt;
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

}  // namespace

WideString to_wide_nul(std::string_view utf8) {
  WideString out;
  out.reserve(utf8.size() + 1);
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0xFFFD;
    std::size_t length = decode_utf8(utf8, i, c);
    if (length == 0) {
      c = 0xFFFD;
      length = 1;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<WCHAR>(0xD800 + (c >> 10)));
      out.push_back(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<WCHAR>(c));
    }
    i += length;
  }
  return out;  // c_str() supplies the terminating NUL unit
}

std::optional<std::string> from_wide(WideView utf16) {
  return decode(utf16, true);
}

std::string from_wide_lossy(WideView utf16) {
  return *decode(utf16, false);
}

WideView wide_view(const WCHAR* text) {
  return text == nullptr ? WideView{} : WideView{text};
}

}  // namespace tavo
