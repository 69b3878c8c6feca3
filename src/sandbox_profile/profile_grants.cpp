#include "sandbox_profile/profile_grants.h"

#include "acl/acl.h"
#include "acl/guarded_paths.h"
#include "acl/path_blocklist.h"
#include "base/format.h"
#include "runtime/log.h"
#include "win/env.h"
#include "win/fs.h"
#include "win/made_folders.h"

namespace tavo {

std::vector<std::string> deniable_credential_stores(std::vector<std::string> stores) {
  std::erase_if(stores, [](const std::string& store) {
    return fs::exists(store) && skip_system_path(store, kTargetProfile);
  });
  return stores;
}

void deny_credential_stores(
    PSID sid, const std::vector<std::string>& stores,
    const std::function<void(const std::string& store, const HresultError&)>& failed,
    DaclEditLock& lock, ChangeRecorder* recorder) {
  for (const std::string& store : stores) {
    if (!fs::exists(store)) {
      log(Level::Debug, kTargetProfile,
          "skipping {} (does not exist; per-spawn layer covers post-install)", store);
      continue;
    }
    if (auto denied = deny_access(sid, store, lock.hold(), recorder); !denied) {
      failed(store, denied.error());
    } else {
      log(Level::Debug, kTargetProfile, "DENY ACE applied on {}", store);
    }
  }
}

UserFolders user_folders() {
  UserFolders folders;
  folders.home = env_directory("USERPROFILE");
  if (folders.home && skip_system_path(*folders.home, kTargetProfile)) folders.home.reset();
  if (std::optional<std::string> local = env_directory("LOCALAPPDATA")) {
    // Judged before a package directory is made there.
    folders.packages = format("{}\\Packages", *local);
    if (skip_system_path(*folders.packages, kTargetProfile)) folders.packages.reset();
  }
  return folders;
}

std::expected<void, HresultError> grant_package_dir(PSID sid, std::string_view packages,
                                                    std::string_view profile_name,
                                                    DaclEditLock& lock, ChangeRecorder* recorder) {
  const std::string package_dir = format("{}\\{}", packages, profile_name);
  // Held while the grant is made, so that no folder on the way turns into a link meanwhile.
  auto made = fs::make_folders(package_dir, nullptr, [](const std::string& final_path) {
    return may_make_folder_in(final_path);
  });
  if (!made) {
    if (std::holds_alternative<fs::RefusedFolder>(made.error())) {
      // A link on the way leads into a system location: nothing is made or granted there.
      warn_refused(package_dir, kTargetProfile);
      return {};
    }
    // The grant below reports what the missing directory means for it.
    log(Level::Debug, kTargetProfile, "create package dir {} failed: {}", package_dir,
        std::get<IoError>(made.error()));
  }
  return grant_access(sid, package_dir, AccessLevel::ReadWrite, lock.hold(), recorder);
}

}  // namespace tavo
