#include "path_grant/path_entries.h"

#include "base/text.h"
#include "base/unicode_case.h"
#include "win/env.h"

namespace tavo {
namespace {

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

std::vector<std::string> path_entries() {
  const std::string path = env_var("PATH").value_or("");
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find(';', start);
    entries.push_back(
        path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return entries;
    start = end + 1;
  }
}

std::string directory_string(std::string_view entry) {
  const std::size_t last = entry.find_last_not_of('\\');
  return std::string(entry.substr(0, last == std::string_view::npos ? 0 : last + 1));
}

std::string path_dir_key(std::string_view entry) {
  return to_lowercase(directory_string(entry));
}

bool is_rooted_directory(std::string_view directory) {
  if (!directory.empty() && is_separator(directory[0])) return true;
  return directory.size() >= 3 && is_ascii_letter(directory[0]) && directory[1] == ':' &&
         is_separator(directory[2]);
}

}  // namespace tavo
