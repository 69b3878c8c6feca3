#include "base/debug_text.h"

#include "base/format.h"
#include "base/text.h"

namespace tavo {
namespace {

bool is_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    std::size_t length = decode_utf8(text, i, c);
    if (length == 0) {  // not UTF-8: the byte goes through as it is
      out.push_back(text[i++]);
      continue;
    }
    i += length;
    switch (c) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (is_control(c))
          out += format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        else
          append_utf8(out, c);
    }
  }
  out += "\"";
  return out;
}

std::string debug_optional(const std::optional<std::string>& value) {
  if (!value) return "None";
  return "Some(" + debug_quoted(*value) + ")";
}

}  // namespace tavo
