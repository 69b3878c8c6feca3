#include "acl/path_blocklist.h"

#include "base/text.h"
#include "win/env.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// "X:" at the start, alone or followed by a separator.
bool is_drive_prefix(std::string_view path) {
  return path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':' &&
         (path.size() == 2 || is_separator(path[2]));
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

bool names_share_device_or_stream(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // Only \\?\ before a drive is an ordinary path: every other path that begins with two
    // separators is a share, or a device that no folder grant can be meant for.
    // (The platform reads '/' as a separator in these prefixes too.)
    const bool verbatim_drive = path.size() >= 4 && path[2] == '?' && is_separator(path[3]) &&
                                is_drive_prefix(path.substr(4));
    if (!verbatim_drive) return true;
    path.remove_prefix(4);
  }
  // A drive-relative "C:name" has its colon at index 1 too: still the drive, not a stream.
  const bool drive = path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':';
  return path.find(':', drive ? 2 : 0) != std::string_view::npos;
}

std::optional<std::string> own_files_dir() {
  std::optional<std::string> base = env_directory("LOCALAPPDATA");
  if (!base) return std::nullopt;
  return path::join(*base, "Tavo");
}

bool is_own_files_path(std::string_view final_path) {
  const std::optional<std::string> own = own_files_dir();
  if (!own) return false;
  const std::string path = normalize_for_compare(final_path);
  for (const std::string& form :
       {normalize_for_compare(*own), normalize_for_compare(resolved_path(*own))}) {
    if (path == form ||
        (path.starts_with(form) && path.size() > form.size() && path[form.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

bool is_refused_final_path(std::string_view final_path) {
  return is_system_path(final_path) || names_share_device_or_stream(final_path) ||
         is_own_files_path(final_path);
}

bool may_make_folder_in(std::string_view final_path) {
  const std::string n = normalize_for_compare(final_path);
  // Compared without its trailing separator: "c:".
  const bool drive_root = n.size() == 2 && is_ascii_letter(n[0]) && n[1] == ':';
  return drive_root || !is_refused_final_path(final_path);
}

std::string resolved_path(std::string_view path) {
  if (path.empty()) return std::string{};
  if (auto resolved = final_path_name(path)) return *resolved;
  if (auto full = full_path_name(path)) return to_long_path(*full);
  return std::string(path);
}

bool is_refused_path(std::string_view path) {
  return is_refused_final_path(path) || is_refused_final_path(resolved_path(path));
}

}  // namespace tavo
