#include "run_journal/line_escape.h"

namespace tavo {

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\r') {
      out += "%0D";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::string> unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const std::string_view code = text.substr(i + 1, 2);
    if (code == "25") {
      out.push_back('%');
    } else if (code == "0A") {
      out.push_back('\n');
    } else if (code == "0D") {
      out.push_back('\r');
    } else {
      return std::nullopt;
    }
    i += 2;
  }
  return out;
}

}  // namespace tavo
