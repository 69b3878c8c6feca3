// Mapping between Windows paths and host paths, and between host errors and Win32 errors.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "internal.h"
#include "winsim/kernel.h"

namespace winsim::detail {
namespace {

std::string root_dir() {
  const char* root = std::getenv("WINSIM_ROOT");
  if (root == nullptr) return {};
  std::string r = root;
  while (r.size() > 1 && r.back() == '/')
    r.pop_back();
  return r;
}

bool is_drive_letter(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

bool is_separator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool parent_exists(std::string_view host) {
  std::string path(host);
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return true;  // relative, in the current directory
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> host_path(std::u16string_view windows_path) {
  if (windows_path.empty()) return std::string{};  // names nothing, not the current directory
  std::u16string_view path = windows_path;
  const bool verbatim = path.starts_with(u"\\\\?\\");
  if (verbatim) {
    // Passed on untouched: no separator but '\\', nothing resolved or trimmed.
    path.remove_prefix(4);
    if (path.starts_with(u"UNC\\")) return std::nullopt;  // a share: not modelled
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    const bool device = path.size() >= 3 && (path[2] == u'.' || path[2] == u'?') &&
                        (path.size() == 3 || is_separator(path[3]));
    if (!device) return std::nullopt;  // a share: not modelled
    path.remove_prefix(std::min<std::size_t>(4, path.size()));
  }

  std::string root;  // the host directory the components go below; empty for a relative path
  if (path.size() >= 2 && path[1] == u':' && path[0] < 0x80 &&
      is_drive_letter(static_cast<char>(path[0]))) {
    const std::string drives = root_dir();
    if (drives.empty()) return std::nullopt;
    root = drives + "/" + static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    path.remove_prefix(2);  // "C:name" is taken from the drive's root
  } else if (!path.empty() && is_separator(path[0])) {
    root = "/";  // a host path
  }

  if (verbatim) {
    std::string rest = to_host(path);
    for (char& c : rest) {
      if (c == '\\') c = '/';
    }
    if (root.empty()) return rest;
    if (!rest.starts_with('/')) rest.insert(rest.begin(), '/');
    return root == "/" ? rest : root + rest;
  }

  const NormalisedPath normalised = normalise_components(path, root.empty());
  std::string out = root == "/" ? std::string{} : root;
  for (const std::u16string& component : normalised.components) {
    if (!out.empty() || !root.empty()) out.push_back('/');
    out += to_host(component);
  }
  if (out.empty()) return root.empty() ? "." : "/";
  if (normalised.trailing_separator && out.back() != '/') out.push_back('/');
  return out;
}

std::string windows_form(std::string_view host_absolute) {
  std::string root = root_dir();
  if (!root.empty() && host_absolute.size() >= root.size() + 2 && host_absolute.starts_with(root) &&
      host_absolute[root.size()] == '/' && is_drive_letter(host_absolute[root.size() + 1]) &&
      (host_absolute.size() == root.size() + 2 || host_absolute[root.size() + 2] == '/')) {
    std::string out(1, static_cast<char>(std::toupper(host_absolute[root.size() + 1])));
    out += ":";
    std::string_view rest = host_absolute.substr(root.size() + 2);
    if (rest.empty()) rest = "/";
    for (char c : rest)
      out.push_back(c == '/' ? '\\' : c);
    return out;
  }
  return std::string(host_absolute);
}

bool is_host_root(std::string_view host) {
  if (host == "/") return true;
  std::string root = root_dir();
  return !root.empty() && host.size() == root.size() + 2 && host.starts_with(root) &&
         host[root.size()] == '/' && is_drive_letter(host[root.size() + 1]);
}

bool is_nul_device(std::u16string_view windows_path) {
  std::string path = narrow(windows_path);
  if (path.starts_with("\\\\.\\")) path.erase(0, 4);
  if (path.size() != 3) return false;
  for (char& c : path)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return path == "NUL";
}

DWORD win32_error_from_errno(int errno_value, std::string_view host) {
  switch (errno_value) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return host.empty() || parent_exists(host) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

bool caller_is_admin() {
  const char* admin = std::getenv("WINSIM_ADMIN");
  return admin == nullptr || std::string_view(admin) != "0";
}

}  // namespace winsim::detail
