#include "base/format.h"

namespace tavo {

void append_integer(std::string& out, std::uint64_t magnitude, bool negative,
                    std::string_view options) {
  // options is what stands after the colon: [0][width][x|X], or empty for decimal.
  bool zero_pad = false;
  std::size_t width = 0;
  unsigned base = 10;
  bool upper = false;
  std::size_t i = 0;
  if (i < options.size() && options[i] == '0') {
    zero_pad = true;
    ++i;
  }
  while (i < options.size() && options[i] >= '0' && options[i] <= '9') {
    width = width * 10 + static_cast<std::size_t>(options[i] - '0');
    ++i;
  }
  if (i < options.size() && (options[i] == 'x' || options[i] == 'X')) {
    base = 16;
    upper = options[i] == 'X';
  }
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[24];
  std::size_t n = 0;
  do {
    buffer[n++] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  std::size_t length = n + (negative ? 1 : 0);
  if (negative) out.push_back('-');
  if (length < width) out.append(width - length, zero_pad ? '0' : ' ');
  while (n > 0)
    out.push_back(buffer[--n]);
}

namespace format_detail {

std::string format_args(std::string_view pattern, const Arg* args, std::size_t count) {
  std::string out;
  out.reserve(pattern.size() + 16 * count);
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '{' && i + 1 < pattern.size() && pattern[i + 1] == '{') {
      out.push_back('{');
      ++i;
    } else if (c == '}' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
      out.push_back('}');
      ++i;
    } else if (c == '{') {
      std::size_t close = pattern.find('}', i);
      if (close == std::string_view::npos) {
        out.append(pattern.substr(i));
        break;
      }
      std::string_view options = pattern.substr(i + 1, close - i - 1);
      if (!options.empty() && options.front() == ':') options.remove_prefix(1);
      if (next < count) {
        args[next].append(out, options, args[next].value);
      } else {
        out.append(pattern.substr(i, close - i + 1));  // more placeholders than values
      }
      ++next;
      i = close;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace format_detail
}  // namespace tavo
