#include "sandbox_profile/pool_dir.h"

#include <string>
#include <vector>

#include "acl/path_blocklist.h"
#include "base/format.h"
#include "sandbox_profile/admin_owned.h"
#include "win/env.h"
#include "win/fs.h"
#include "win/made_folders.h"
#include "win/path.h"
#include "win/path_names.h"
#include "win/wide.h"

namespace tavo {
namespace {

std::unexpected<HresultError> fatal(std::string message) {
  return std::unexpected(HresultError::program(std::move(message)));
}

bool same_path(std::string_view a, std::string_view b) {
  return normalize_for_compare(a) == normalize_for_compare(b);
}

// A final path as people write it: \\?\C:\... without its prefix.
std::string shown(std::string_view resolved) {
  constexpr std::string_view kPrefix = "\\\\?\\";
  if (resolved.starts_with(kPrefix) && resolved.size() >= kPrefix.size() + 3 &&
      resolved[kPrefix.size() + 1] == ':' && resolved[kPrefix.size() + 2] == '\\')
    return std::string(resolved.substr(kPrefix.size()));
  return std::string(resolved);
}

// Where a path leads, however it is spelt and whatever links lie on the way to its last
// component: the final path of its nearest existing folder above that component, with the names
// still missing below it and the last component as it is, so that a link there is judged itself.
std::optional<std::string> resolved(std::string_view path) {
  const std::optional<std::string> full = full_path_name(path);
  const std::optional<std::string> last = full ? path::file_name(*full) : std::nullopt;
  if (!last) return full;  // a root
  std::vector<std::string> missing{*last};
  for (std::optional<std::string> dir = path::parent(*full); dir && !dir->empty();
       dir = path::parent(*dir)) {
    if (std::optional<std::string> final_path = final_path_name(*dir)) {
      std::string whole = *final_path;
      for (auto name = missing.rbegin(); name != missing.rend(); ++name)
        whole = path::join(whole, *name);
      return whole;
    }
    std::optional<std::string> name = path::file_name(*dir);
    if (!name) return std::nullopt;
    missing.push_back(*name);
  }
  return std::nullopt;
}

// A folder a registration must find to be the administrators' own: its resolved path, and the
// name it is shown by.
struct Checked {
  std::string path;
  std::string subject;
};

// The folders a registration must find to be the administrators' own, top down: those below
// %PROGRAMDATA% down to the pool directory, where the directory lies below it, both resolved, so
// that neither another spelling (\\?\, \\.\, '/') nor a link on the way gets past. A user may
// make folders in %PROGRAMDATA%, and whoever owns a folder above the pool directory can move the
// pool directory away and put their own in its place.
std::vector<Checked> folders_to_check(std::string_view pool_dir) {
  const std::string pool = resolved(pool_dir).value_or(std::string(pool_dir));
  std::vector<Checked> chain{{pool, format("pool directory {}", pool_dir)}};
  const std::optional<std::string> data = env_directory("PROGRAMDATA");
  const std::optional<std::string> anchor = data ? resolved(*data) : std::nullopt;
  if (!anchor) return chain;
  std::vector<Checked> below;
  for (std::optional<std::string> dir = pool; dir && !dir->empty(); dir = path::parent(*dir)) {
    if (same_path(*dir, *anchor)) {
      if (below.empty()) return chain;  // the pool directory is %PROGRAMDATA% itself
      // Shown as the caller wrote the pool directory; its ancestors as resolved.
      below.front().subject = chain.front().subject;
      return {below.rbegin(), below.rend()};
    }
    below.push_back({*dir, format("folder {} above the pool directory", shown(*dir))});
  }
  return chain;
}

std::expected<void, HresultError> check_existing(const Checked& folder) {
  auto object = open_to_judge(folder.path);
  if (!object) return fatal(format("{} cannot be checked: {}", folder.subject, object.error()));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(object->get(), &info)) {
    return fatal(format("{} cannot be checked: {}", folder.subject, IoError::from_last_error()));
  }
  // A file there would let the registration change the machine before it failed to write into it.
  if (!(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return fatal(format("{} is not a directory", folder.subject));
  auto control = non_admin_control(object->get());
  if (!control) return fatal(format("{} cannot be checked: {}", folder.subject, control.error()));
  if (*control)
    return fatal(format("{} {}: remove it and register again", folder.subject, **control));
  return {};
}

}  // namespace

std::expected<void, HresultError> prepare_pool_dir(std::string_view pool_dir) {
  auto security = SddlDescriptor::parse(kAdminDirectorySddl);
  if (!security) return fatal(format("create_dir_all({}): {}", pool_dir, security.error()));
  const std::vector<Checked> folders = folders_to_check(pool_dir);
  const auto may_make_in = [](const std::string& final_path) {
    return may_make_admin_folder_in(final_path);
  };
  // Above the checked folders: whatever is missing is made, and nothing that exists is changed.
  // They stay held while the checked folders are made or checked in the last of them.
  std::optional<fs::HeldFolders> held;
  if (std::optional<std::string> above = path::parent(folders.front().path); above) {
    auto made = fs::make_folders(*above, &*security, may_make_in);
    if (!made) {
      if (const auto* refused = std::get_if<fs::RefusedFolder>(&made.error())) {
        return fatal(format("create_dir_all({}): folder {} leads to {}", pool_dir, refused->folder,
                            refused->reached));
      }
      return fatal(format("create_dir_all({}): {}", pool_dir, std::get<IoError>(made.error())));
    }
    if (!may_make_in(made->final_path())) {
      return fatal(format("create_dir_all({}): folder {} leads to {}", pool_dir, *above,
                          made->final_path()));
    }
    held = std::move(*made);
  }
  // Top down, each folder is either made here, as the administrators' own, or checked; once one
  // is made, nobody else can have put anything below it.
  for (const Checked& folder : folders) {
    SECURITY_ATTRIBUTES attributes = security->attributes();
    if (CreateDirectoryW(to_wide_nul(folder.path).c_str(), &attributes)) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      return fatal(format("create_dir_all({}): {}", pool_dir, IoError::from_win32(error)));
    }
    if (auto checked = check_existing(folder); !checked) return checked;
  }
  return {};
}

std::string default_pool_dir() {
  return format("{}\\Tavo\\pool", env_var("PROGRAMDATA").value_or("C:\\ProgramData"));
}

}  // namespace tavo
