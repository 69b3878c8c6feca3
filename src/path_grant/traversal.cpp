#include "path_grant/traversal.h"

#include <cstdint>
#include <vector>

#include "acl/acl.h"
#include "acl/dacl_object.h"
#include "acl/guarded_paths.h"
#include "path_grant/all_app_packages.h"
#include "runtime/log.h"
#include "win/env.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

// Every proper ancestor of `path`, nearest first; the root is the last one.
std::vector<std::string> ancestors_of(const std::string& path) {
  std::vector<std::string> list;
  std::string current = path;
  while (std::optional<std::string> parent = path::parent(current)) {
    list.push_back(*parent);
    // A root is its own parent: nothing lies above it.
    if (path::parent(*parent).value_or(*parent) == *parent) break;
    current = *parent;
  }
  return list;
}

// Traversal on each folder of the list in turn, for the walk up from `path`.
std::expected<void, std::string> grant_traversal_on(PSID sid,
                                                    const std::vector<std::string>& folders,
                                                    std::string_view path, DaclEditLock& lock,
                                                    PlacementNotice* notice = nullptr) {
  std::uint32_t granted = 0;
  for (const std::string& ancestor : folders) {
    if (has_all_app_packages_ace(ancestor)) {
      log(Level::Debug, kTargetPathGrant, "ancestor {} already has AAP \xE2\x80\x94 skipping",
          ancestor);
      continue;
    }
    log(Level::Debug, kTargetPathGrant, "granting traverse on ancestor: {}", ancestor);
    if (auto done = grant_traverse(sid, ancestor, lock.hold(), notice); !done) {
      // A system location above the path is passed by, as the guard passes by any other.
      if (is_refused_object(done.error())) {
        warn_refused(ancestor, kTargetPathGrant);
        continue;
      }
      return std::unexpected(format("grant ancestor {} failed: {}", ancestor, done.error()));
    }
    ++granted;
  }
  if (granted > 0) {
    log(Level::Info, kTargetPathGrant, "granted traverse on {} ancestor(s) of {}", granted, path);
  }
  return {};
}

}  // namespace

std::expected<void, std::string> grant_cwd_ancestors(PSID sid, std::string_view path,
                                                     DaclEditLock& lock, PlacementNotice* notice) {
  const std::string resolved = final_path_name(path).value_or(std::string(path));
  // The whole list is known before the first grant changes anything.
  return grant_traversal_on(sid, ancestors_of(resolved), path, lock, notice);
}

std::expected<void, std::string> grant_folder_and_ancestors(PSID sid, std::string_view folder,
                                                            DaclEditLock& lock,
                                                            PlacementNotice* notice) {
  // Named as the environment gives it: each edit opens its folder and judges where it really is.
  std::vector<std::string> folders = ancestors_of(std::string(folder));
  folders.insert(folders.begin(), std::string(folder));
  return grant_traversal_on(sid, folders, folder, lock, notice);
}

std::expected<void, std::string> grant_drive_root_traversal(PSID sid, DaclEditLock& lock,
                                                            PlacementNotice* notice) {
  const std::optional<std::string> drive = env_var("SystemDrive");
  std::string root = "C:\\";
  if (drive && !drive->empty()) root = drive->ends_with('\\') ? *drive : *drive + "\\";
  log(Level::Info, kTargetPathGrant, "granting drive root traversal on {}", root);
  if (auto done = grant_traverse(sid, root, lock.hold(), notice); !done) {
    return std::unexpected(
        format("grant drive root traversal on {} failed: {}", root, done.error()));
  }
  return {};
}

}  // namespace tavo
