#include "sandbox_profile/admin_owned.h"

#include "acl/dacl.h"
#include "acl/path_blocklist.h"
#include "base/format.h"
#include "runtime/log.h"
#include "sid/sid_text.h"
#include "win/env.h"
#include "win/file_replace.h"
#include "win/fs.h"
#include "win/held_folder.h"
#include "win/made_folders.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

// The folder a file of the administrators' goes into, held until the file is in place. A folder
// that is a link is refused, and so is one that a link on the way has turned into a system
// location, a share or a device other than the one the caller named.
std::expected<HeldFolder, std::string> hold_folder_for(const std::string& folder) {
  auto held = HeldFolder::open(folder);
  if (!held) return std::unexpected(format("folder {} {}", folder, held.error()));
  const std::string& reached = held->final_path();
  const bool elsewhere =
      normalize_for_compare(reached) != normalize_for_compare(to_long_path(folder));
  if (names_share_device_or_stream(reached) || (elsewhere && is_refused_final_path(reached))) {
    return std::unexpected(format("folder {} leads to {}", folder, reached));
  }
  return held;
}

// A run warns about a SID file that others could have changed; the registration that writes it
// warns first, about the folder, where it can still be moved.
void warn_if_changeable(const HeldFolder& folder, std::string_view shown) {
  auto control = non_admin_control(folder.get());
  if (!control) {
    log(Level::Debug, kTargetProfile, "who may change folder {} cannot be told: {}", shown,
        control.error());
  } else if (*control) {
    log(Level::Warn, kTargetProfile, "SID file folder {} can be changed by non-administrators",
        shown);
    log(Level::Debug, kTargetProfile, "SID file folder {}: {}", shown, **control);
  }
}

}  // namespace

bool may_make_admin_folder_in(std::string_view final_path) {
  if (may_make_folder_in(final_path)) return true;
  // Where the pool is kept by default, also when the variable is unset.
  const std::string data = env_directory("PROGRAMDATA").value_or("C:\\ProgramData");
  const std::optional<std::string> anchor = final_path_name(data);
  if (!anchor) return false;
  const std::string below = normalize_for_compare(final_path);
  const std::string top = normalize_for_compare(*anchor);
  return below == top ||
         (below.starts_with(top) && below.size() > top.size() && below[top.size()] == '\\');
}

std::expected<std::optional<std::string>, HresultError> non_admin_control(HANDLE object) {
  static constexpr std::string_view kAdmins[] = {kSystemSid, kAdministratorsSid};
  return outside_control(object, kAdmins, "Administrators");
}

std::expected<void, HresultError> write_text_file(std::string_view path, std::string_view content) {
  const auto failed = [&](std::string_view step, const auto& error) {
    return std::unexpected(HresultError::program(format("{}({}): {}", step, path, error)));
  };
  const std::optional<std::string> full = full_path_name(path);
  const std::optional<std::string> parent = full ? path::parent(*full) : std::nullopt;
  const std::optional<std::string> name = full ? path::file_name(*full) : std::nullopt;
  if (!parent || !name) return failed("create", "the path cannot be resolved");
  auto folders = SddlDescriptor::parse(kAdminDirectorySddl);
  if (!folders) return failed("create_dir_all", folders.error());
  // Held until the file is in place, so that no folder on the way turns into a link meanwhile.
  auto made = fs::make_folders(*parent, &*folders, [](const std::string& final_path) {
    return may_make_admin_folder_in(final_path);
  });
  if (!made) {
    if (const auto* refused = std::get_if<fs::RefusedFolder>(&made.error())) {
      return failed("create", format("folder {} leads to {}", refused->folder, refused->reached));
    }
    return std::unexpected(HresultError::program(
        format("create_dir_all({}): {}", *parent, std::get<IoError>(made.error()))));
  }
  auto folder = hold_folder_for(*parent);
  if (!folder) return failed("create", folder.error());
  warn_if_changeable(*folder, *parent);
  auto security = SddlDescriptor::parse(kAdminFileSddl);
  if (!security) return failed("create", security.error());
  std::string line(content);
  line.push_back('\n');
  if (auto replaced = fs::replace_file_in(*folder, *name, line, *security); !replaced)
    return failed("write", replaced.error());
  return {};
}

}  // namespace tavo
