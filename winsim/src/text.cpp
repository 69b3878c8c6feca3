// Conversions between the host's UTF-8 and Windows' UTF-16.
#include "internal.h"

#include "utf8.h"

namespace winsim::detail {
std::string narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    utf8::append(out, c);
  }
  return out;
}

std::string to_host(std::u16string_view text) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    bool lone_low = i < text.size() && text[i] >= 0xDC80 && text[i] <= 0xDCFF &&
                    (i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF);
    if (i == text.size() || lone_low) {
      out += narrow(text.substr(start, i - start));
      if (lone_low) out.push_back(static_cast<char>(text[i] - 0xDC00));
      start = i + 1;
    }
  }
  return out;
}

std::string narrow(const WCHAR* text) {
  return narrow(view(text));
}

std::u16string_view view(const WCHAR* text) {
  return text == nullptr ? std::u16string_view{} : std::u16string_view{text};
}

std::u16string widen(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t len = utf8::decode(text, i, c);
    if (len == 0) {
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text[i])));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  return out;
}

}  // namespace winsim::detail
