#include "path_blocklist.h"

#include "acl.h"
#include "win/path_names.h"

namespace tavo {
namespace {

bool is_ascii_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string normalize_for_compare(std::string_view path) {
  if (path.starts_with("\\\\?\\") || path.starts_with("\\\\.\\")) path.remove_prefix(4);
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/') {
      out.push_back('\\');
    } else if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      out.push_back(c);
    }
  }
  while (out.size() >= 2 && out.back() == '\\')
    out.pop_back();
  return out;
}

bool is_system_path(std::string_view path) {
  const std::string n = normalize_for_compare(path);
  if (n.size() >= 2 && is_ascii_letter(n[0]) && n[1] == ':' &&
      n.find_first_not_of("\\/", 2) == std::string::npos) {
    return true;
  }
  for (std::string_view entry : SYSTEM_PATHS) {
    const std::string e = normalize_for_compare(entry);
    if (n == e || (n.starts_with(e) && n.size() > e.size() && n[e.size()] == '\\')) return true;
  }
  return false;
}

std::string resolved_path(std::string_view path) {
  if (path.empty()) return std::string{};
  if (auto resolved = final_path_name(path)) return *resolved;
  if (auto full = full_path_name(path)) return to_long_path(*full);
  return std::string(path);
}

bool is_refused_path(std::string_view path) {
  return is_system_path(path) || is_system_path(resolved_path(path));
}

}  // namespace tavo
