#include "win/path.h"

#include <vector>

#include "base/text.h"

namespace tavo::path {
namespace {

enum class Kind { CurDir, ParentDir, Normal };

struct Component {
  Kind kind;
  std::size_t begin;
  std::size_t end;
};

// A path taken apart: where its prefix and root end, and its components.
struct Parsed {
  std::size_t prefix_end = 0;  // 0: no prefix
  bool bare_drive = false;     // the prefix is a drive letter and colon ("C:")
  bool has_root = false;
  std::size_t root_end = 0;  // end of prefix plus root separator
  std::vector<Component> components;
};

Parsed parse(std::string_view p) {
  Parsed out;
  bool verbatim = false;
  auto any_sep = [](char c) { return c == '\\' || c == '/'; };
  auto next_sep = [&](std::size_t from, bool only_backslash) {
    for (std::size_t i = from; i < p.size(); ++i) {
      if (p[i] == '\\' || (!only_backslash && p[i] == '/')) return i;
    }
    return p.size();
  };

  std::size_t i = 0;
  if (p.starts_with("\\\\?\\")) {
    verbatim = true;
    if (p.substr(4).starts_with("UNC\\")) {
      std::size_t server_end = next_sep(8, true);
      i = server_end < p.size() ? next_sep(server_end + 1, true) : p.size();
    } else if (p.size() >= 6 && is_ascii_letter(p[4]) && p[5] == ':') {
      i = 6;
    } else {
      i = next_sep(4, true);
    }
  } else if (p.starts_with("\\\\.\\")) {
    i = next_sep(4, false);
  } else if (p.size() >= 2 && any_sep(p[0]) && any_sep(p[1])) {
    std::size_t server_end = next_sep(2, false);
    i = server_end < p.size() ? next_sep(server_end + 1, false) : p.size();
  } else if (p.size() >= 2 && is_ascii_letter(p[0]) && p[1] == ':') {
    i = 2;
    out.bare_drive = true;
  }
  out.prefix_end = i;

  auto is_sep = [&](char c) { return verbatim ? c == '\\' : any_sep(c); };
  if (i < p.size() && is_sep(p[i])) {
    out.has_root = true;
    ++i;
  }
  out.root_end = i;

  while (i < p.size()) {
    std::size_t end = i;
    while (end < p.size() && !is_sep(p[end]))
      ++end;
    std::string_view part = p.substr(i, end - i);
    const bool at_start = out.components.empty() && out.prefix_end == 0 && !out.has_root;
    if (part == "..") {
      out.components.push_back({Kind::ParentDir, i, end});
    } else if (part == ".") {
      if (at_start || verbatim) out.components.push_back({Kind::CurDir, i, end});
    } else if (!part.empty()) {
      out.components.push_back({Kind::Normal, i, end});
    }
    i = end + 1;
  }
  return out;
}

}  // namespace

std::optional<std::string> parent(std::string_view p) {
  Parsed parsed = parse(p);
  if (parsed.components.empty()) return std::nullopt;
  parsed.components.pop_back();
  std::size_t end = parsed.components.empty() ? parsed.root_end : parsed.components.back().end;
  return std::string(p.substr(0, end));
}

std::optional<std::string> file_name(std::string_view p) {
  Parsed parsed = parse(p);
  if (parsed.components.empty() || parsed.components.back().kind != Kind::Normal) {
    return std::nullopt;
  }
  const Component& last = parsed.components.back();
  return std::string(p.substr(last.begin, last.end - last.begin));
}

std::optional<std::string> extension(std::string_view p) {
  std::optional<std::string> name = file_name(p);
  if (!name) return std::nullopt;
  std::size_t dot = name->rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  return name->substr(dot + 1);
}

bool is_absolute(std::string_view p) {
  Parsed parsed = parse(p);
  return parsed.has_root || (parsed.prefix_end > 0 && !parsed.bare_drive);
}

std::string join(std::string_view base, std::string_view name) {
  if (base.empty() || is_absolute(name)) return std::string(name);
  std::string out(base);
  const char last = out.back();
  const bool bare_drive = out.size() == 2 && is_ascii_letter(out[0]) && out[1] == ':';
  if (last != '\\' && last != '/' && !bare_drive) out.push_back('\\');
  out.append(name);
  return out;
}

}  // namespace tavo::path
