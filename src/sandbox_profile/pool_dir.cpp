#include "sandbox_profile/pool_dir.h"

#include <string>
#include <vector>

#include "base/format.h"
#include "base/unicode_case.h"
#include "sandbox_profile/admin_owned.h"
#include "win/env.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/path_names.h"
#include "win/wide.h"

namespace tavo {
namespace {

std::unexpected<HresultError> fatal(std::string message) {
  return std::unexpected(HresultError::program(std::move(message)));
}

bool same_path(std::string_view a, std::string_view b) {
  return to_lowercase(a) == to_lowercase(b);
}

// The folders a registration must find to be the administrators' own, top down: those below
// %PROGRAMDATA% down to the pool directory, where the directory lies below it. A user may make
// folders in %PROGRAMDATA%, and whoever owns a folder above the pool directory can move the pool
// directory away and put their own in its place.
std::vector<std::string> folders_to_check(std::string_view pool_dir) {
  std::vector<std::string> chain{std::string(pool_dir)};
  const std::optional<std::string> full = full_path_name(pool_dir);
  const std::optional<std::string> data = env_directory("PROGRAMDATA");
  if (!full || !data) return chain;
  const std::optional<std::string> anchor = full_path_name(*data);
  if (!anchor) return chain;
  std::vector<std::string> below;
  for (std::optional<std::string> dir = *full; dir && !dir->empty(); dir = path::parent(*dir)) {
    if (same_path(*dir, *anchor)) {
      if (below.empty()) return chain;  // the pool directory is %PROGRAMDATA% itself
      // Shown as the caller wrote the pool directory; its ancestors as resolved.
      below.front() = std::string(pool_dir);
      return {below.rbegin(), below.rend()};
    }
    below.push_back(*dir);
  }
  return chain;
}

std::string subject(std::string_view folder, std::string_view pool_dir) {
  if (folder == pool_dir) return format("pool directory {}", folder);
  return format("folder {} above the pool directory", folder);
}

std::expected<void, HresultError> check_existing(const std::string& folder,
                                                 std::string_view pool_dir) {
  auto object = open_to_judge(folder);
  if (!object) {
    return fatal(format("{} cannot be checked: {}", subject(folder, pool_dir), object.error()));
  }
  auto control = non_admin_control(object->get());
  if (!control) {
    return fatal(format("{} cannot be checked: {}", subject(folder, pool_dir), control.error()));
  }
  if (*control) {
    return fatal(
        format("{} {}: remove it and register again", subject(folder, pool_dir), **control));
  }
  return {};
}

}  // namespace

std::expected<void, HresultError> prepare_pool_dir(std::string_view pool_dir) {
  auto security = SddlDescriptor::parse(kAdminDirectorySddl);
  if (!security) return fatal(format("create_dir_all({}): {}", pool_dir, security.error()));
  const std::vector<std::string> folders = folders_to_check(pool_dir);
  // Above the checked folders: whatever is missing is made, and nothing that exists is changed.
  if (std::optional<std::string> above = path::parent(folders.front()); above) {
    if (auto made = fs::create_dir_all(*above, &*security); !made) {
      return fatal(format("create_dir_all({}): {}", pool_dir, made.error()));
    }
  }
  // Top down, each folder is either made here, as the administrators' own, or checked; once one
  // is made, nobody else can have put anything below it.
  for (const std::string& folder : folders) {
    SECURITY_ATTRIBUTES attributes = security->attributes();
    if (CreateDirectoryW(to_wide_nul(folder).c_str(), &attributes)) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      return fatal(format("create_dir_all({}): {}", pool_dir, IoError::from_win32(error)));
    }
    if (auto checked = check_existing(folder, pool_dir); !checked) return checked;
  }
  return {};
}

std::string default_pool_dir() {
  return format("{}\\Tavo\\pool", env_var("PROGRAMDATA").value_or("C:\\ProgramData"));
}

}  // namespace tavo
