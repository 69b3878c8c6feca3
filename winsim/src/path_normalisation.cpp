// Win32 path normalisation, as the platform applies it to a path's text before any object is
// looked up: the same for every call that takes a path, and for GetFullPathNameW.
#include "internal.h"

namespace winsim::detail {
namespace {

bool is_separator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// What the platform trims from a name: of the last component, every trailing dot and space; of
// an inner one, a single trailing dot (`a.\b` is `a\b`, while `a..\b` and `a. \b` stay).
std::u16string_view trimmed(std::u16string_view name, bool last) {
  if (last) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' '))
      name.remove_suffix(1);
  } else if (name.size() >= 2 && name.back() == u'.' && name[name.size() - 2] != u'.') {
    name.remove_suffix(1);
  }
  return name;
}

}  // namespace

NormalisedPath normalise_components(std::u16string_view rest, bool relative) {
  NormalisedPath out;
  out.trailing_separator = !rest.empty() && is_separator(rest.back());
  std::size_t i = 0;
  while (i < rest.size()) {
    std::size_t end = i;
    while (end < rest.size() && !is_separator(rest[end]))
      ++end;
    const std::u16string_view part = rest.substr(i, end - i);
    const bool last = end == rest.size();
    i = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      // Text, not links: `link\..` is where `link` stands. Never above the root.
      if (!out.components.empty() && out.components.back() != u"..") {
        out.components.pop_back();
      } else if (relative) {
        out.components.emplace_back(part);
      }
      continue;
    }
    const std::u16string_view name = trimmed(part, last);
    if (name.empty()) {
      out.trailing_separator = true;  // `C:\a\. .` is `C:\a\`
      continue;
    }
    out.components.emplace_back(name);
  }
  return out;
}

}  // namespace winsim::detail
