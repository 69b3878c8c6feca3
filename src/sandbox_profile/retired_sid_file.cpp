#include "sandbox_profile/retired_sid_file.h"

#include <variant>

#include "acl/object_control.h"
#include "base/format.h"
#include "runtime/log.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/pool_version.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

std::string removal_failure(const fs::RemoveError& error) {
  if (const auto* io = std::get_if<IoError>(&error)) return io->display();
  return format("it is {}, not a regular file", std::get<fs::NotARegularFile>(error).what);
}

// Why the folder is not the administrators' alone; nothing when it is.
std::optional<std::string> distrust_of_folder(const std::string& folder) {
  auto held = open_to_judge(folder);
  if (!held) return held.error().display();
  auto control = non_admin_control(held->get());
  if (!control) return control.error().display();
  return *control;
}

}  // namespace

std::expected<void, std::string> retire_sid_file(std::string_view path) {
  const std::optional<std::string> full = full_path_name(path);
  const std::optional<std::string> folder = full ? path::parent(*full) : std::nullopt;
  if (!folder) return std::unexpected(format("SID file {} has no folder", path));
  // Anyone who could change the folder could put the file back: deleting it there retires
  // nothing, and the SID may be someone else's to keep.
  if (std::optional<std::string> distrust = distrust_of_folder(*folder)) {
    return std::unexpected(format("SID file {} kept: its folder {} {}", path, *folder, *distrust));
  }
  if (auto removed = fs::remove_regular_file(*full); !removed) {
    return std::unexpected(
        format("SID file {} could not be deleted: {}", path, removal_failure(removed.error())));
  }
  log(Level::Info, kTargetMain, "cleanup: SID file {} deleted", path);
  const std::string marker = path::join(*folder, kPoolVersionFile);
  if (!fs::exists(marker)) return {};
  if (auto removed = fs::remove_regular_file(marker); !removed) {
    return std::unexpected(format("pool version marker {} could not be deleted: {}", marker,
                                  removal_failure(removed.error())));
  }
  log(Level::Info, kTargetMain, "cleanup: pool version marker {} deleted: the pool is stale",
      marker);
  return {};
}

}  // namespace tavo
