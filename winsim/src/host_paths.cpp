// Canonical host paths and the drive roots they may lie under.
#include "host_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "internal.h"

namespace winsim::detail {
namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// WINSIM_ROOT with its links resolved; nothing when it is unset or does not exist. Most calls
// ask for it, often several times, and resolving it takes a look at every component; one look at
// the object it names tells whether the last answer still holds. Per thread, as a console
// handler's thread may ask while the main thread does.
std::optional<std::string> real_winsim_root() {
  struct Resolved {
    std::string root;
    dev_t device = 0;
    ino_t inode = 0;
    std::string real;
  };
  thread_local std::optional<Resolved> last;
  const char* root = std::getenv("WINSIM_ROOT");
  if (root == nullptr || *root == '\0') return std::nullopt;
  struct stat st {};
  if (::stat(root, &st) != 0) return std::nullopt;
  if (last && last->root == root && last->device == st.st_dev && last->inode == st.st_ino)
    return last->real;
  auto real = real_path(root);
  if (real) last = Resolved{root, st.st_dev, st.st_ino, *real};
  return real;
}

std::string current_directory() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

std::string lexical_absolute(std::string_view host) {
  std::string full =
      host.starts_with('/') ? std::string(host) : current_directory() + "/" + std::string(host);
  std::vector<std::string_view> parts;
  std::string_view rest = full;
  while (!rest.empty()) {
    auto slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts)
    out.append("/").append(part);
  return out.empty() ? "/" : out;
}

std::optional<std::string> real_path(const std::string& host) {
  char* resolved = ::realpath(host.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out = resolved;
  std::free(resolved);
  return out;
}

std::string canonical_path(const std::string& host) {
  if (auto real = real_path(host)) return *real;
  return lexical_absolute(host);
}

std::optional<std::string> path_itself(const std::string& host) {
  std::string path = host;
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  const auto slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // "." and ".." name a directory, never a link.
  if (name.empty() || name == "." || name == "..") return real_path(host);
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  auto real = real_path(directory);
  if (!real) return std::nullopt;
  return *real == "/" ? "/" + name : *real + "/" + name;
}

std::string parent_directory(std::string_view canonical) {
  auto slash = canonical.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return "/";
  return std::string(canonical.substr(0, slash));
}

bool is_canonical_root(std::string_view canonical) {
  if (canonical == "/") return true;
  auto root = real_winsim_root();
  return root && canonical.size() == root->size() + 2 && canonical.starts_with(*root) &&
         canonical[root->size()] == '/' && is_letter(canonical[root->size() + 1]);
}

bool is_program_data(std::string_view canonical) {
  auto root = real_winsim_root();
  return root && canonical == *root + "/c/ProgramData";
}

std::optional<std::string> drive_form(std::string_view canonical) {
  auto root = real_winsim_root();
  if (!root || canonical.size() < root->size() + 2 || !canonical.starts_with(*root) ||
      canonical[root->size()] != '/' || !is_letter(canonical[root->size() + 1]) ||
      (canonical.size() > root->size() + 2 && canonical[root->size() + 2] != '/')) {
    return std::nullopt;
  }
  std::string out(1, static_cast<char>(std::toupper(canonical[root->size() + 1])));
  out += ":\\";
  for (char c : canonical.substr(std::min(canonical.size(), root->size() + 3)))
    out.push_back(c == '/' ? '\\' : c);
  return out;
}

std::optional<std::string> drive_root_of(std::string_view canonical) {
  if (!drive_form(canonical)) return std::nullopt;
  auto root = real_winsim_root();
  return std::string(canonical.substr(0, root->size() + 2));
}

}  // namespace winsim::detail
