// Finding the program of a command line: a path is used as it is (with ".exe" tried after the
// name itself), a bare name is searched in CreateProcessW's order.
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>

#include <cerrno>
#include <cstdlib>

#include "processes.h"

namespace winsim::detail {
namespace {

bool is_regular_file(const std::string& host) {
  struct stat st {};
  return ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ends_with_exe(std::string_view name) {
  if (name.size() < 4) return false;
  std::string_view tail = name.substr(name.size() - 4);
  for (std::size_t i = 0; i < 4; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ".exe"[i]) return false;
  }
  return true;
}

// The first existing file among `base` and `base` + ".exe"; for a `base` that ends in ".exe",
// `base` and then `base` without it, since host programs have no extension *(A)*: a full path
// to a system tool ("C:\Windows\System32\icacls.exe") finds the stand-in installed there.
std::optional<std::string> existing_candidate(const std::string& base) {
  if (is_regular_file(base)) return base;
  if (!ends_with_exe(base)) {
    if (is_regular_file(base + ".exe")) return base + ".exe";
    return std::nullopt;
  }
  std::string bare = base.substr(0, base.size() - 4);
  if (is_regular_file(bare)) return bare;
  return std::nullopt;
}

std::string current_directory() {
  std::string dir(4096, '\0');
  while (::getcwd(dir.data(), dir.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    dir.resize(dir.size() * 2);
  }
  dir.resize(dir.find('\0'));
  return dir;
}

std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty() || dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

// A value that names a drive path first ("C:\\...") is a Windows PATH even with one entry.
bool starts_with_drive_path(std::string_view text) {
  return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
         (text[2] == '\\' || text[2] == '/');
}

// PATH as Windows writes it (';'-separated, drive paths), or a host PATH (':'-separated) when
// the value holds no ';' and does not begin with a drive path.
std::vector<std::string> path_directories() {
  const char* value = std::getenv("PATH");
  std::vector<std::string> dirs;
  if (value == nullptr) return dirs;
  std::string_view text = value;
  const bool windows = text.find(';') != std::string_view::npos || starts_with_drive_path(text);
  const char separator = windows ? ';' : ':';
  while (true) {
    std::size_t end = text.find(separator);
    std::string_view entry = text.substr(0, end);
    if (!entry.empty()) {
      if (auto host = host_path(widen(entry))) dirs.push_back(*host);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return dirs;
}

// The directory this process's program was loaded from.
std::optional<std::string> application_directory() {
  std::string exe(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= exe.size()) return std::nullopt;
  exe.resize(static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

// Where a bare name is looked for, in CreateProcessW's documented order: the application's
// directory, the current directory, the 32-bit and 16-bit system directories, the Windows
// directory (on the mapped C: drive, when there is one), then PATH.
std::vector<std::string> search_directories() {
  std::vector<std::string> dirs;
  if (auto application = application_directory()) dirs.push_back(*application);
  dirs.push_back(current_directory());
  for (std::u16string_view system :
       {u"C:\\Windows\\System32", u"C:\\Windows\\System", u"C:\\Windows"}) {
    if (auto host = host_path(system)) dirs.push_back(*host);
  }
  for (std::string& dir : path_directories())
    dirs.push_back(dir.starts_with('/') ? std::move(dir) : join(current_directory(), dir));
  return dirs;
}

std::optional<std::string> first_in(const std::vector<std::string>& dirs, const std::string& name) {
  for (const std::string& dir : dirs) {
    if (std::string candidate = join(dir, name); is_regular_file(candidate)) return candidate;
  }
  return std::nullopt;
}

// "tool" has no extension; "tool.cmd" and "python3.11" have one.
bool has_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0;
}

bool names_a_path(std::u16string_view program) {
  return program.find_first_of(u"\\/") != std::u16string_view::npos ||
         (program.size() >= 2 && program[1] == u':');
}

}  // namespace

ProgramSearch find_program(std::u16string_view program) {
  if (program.empty()) return {{}, ERROR_FILE_NOT_FOUND};
  std::optional<std::string> found;
  if (names_a_path(program)) {
    auto host = host_path(program);
    if (!host) return {{}, ERROR_PATH_NOT_FOUND};
    // A relative path is relative to this process's directory, not the child's.
    std::string absolute = host->starts_with('/') ? *host : join(current_directory(), *host);
    found = existing_candidate(absolute);
    if (!found) return {{}, win32_error_from_errno(ENOENT, absolute)};
  } else {
    // ".exe" is appended to a name without an extension. Host programs have none, so when no
    // directory holds the name with it, the name as it is counts *(A)*.
    const std::vector<std::string> dirs = search_directories();
    const std::string name = to_host(program);
    if (!has_extension(name)) found = first_in(dirs, name + ".exe");
    if (!found) found = first_in(dirs, name);
    if (!found) return {{}, ERROR_FILE_NOT_FOUND};
  }
  if (::access(found->c_str(), X_OK) != 0) return {{}, ERROR_ACCESS_DENIED};
  return {*found, ERROR_SUCCESS};
}

}  // namespace winsim::detail
