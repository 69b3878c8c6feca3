#include "sandbox_profile/package_dir_grants.h"

#include "acl/acl.h"
#include "acl/guarded_paths.h"
#include "path_grant/icacls.h"
#include "path_grant/icacls_target.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "sandbox_profile/package_dirs.h"

namespace tavo {

void grant_user_package_dirs(PSID sid, DaclEditLock& lock, GrantNotices* notices) {
  for (const std::string& directory : user_package_dirs()) {
    if (skip_system_path(directory, kTargetProfile)) continue;
    ChangeRecorder* recorder = notices != nullptr ? notices->grant_of(sid) : nullptr;
    if (auto granted = grant_access(sid, directory, AccessLevel::ReadWrite, lock.hold(), recorder);
        !granted) {
      log(Level::Debug, kTargetProfile, "grant user package dir {} failed: {}", directory,
          granted.error());
    }
  }
}

void grant_user_package_dirs_batch(std::span<const PoolEntry> entries, GrantNotices* notices) {
  std::vector<std::string> grants;
  for (const PoolEntry& entry : entries)
    grants.push_back(format("*{}:(OI)(CI)(F)", entry.sddl));
  std::vector<std::string> directories = user_package_dirs();
  std::erase_if(directories, [](const std::string& directory) {
    return skip_system_path(directory, kTargetProfile);
  });
  ProgressLine progress(directories.size());
  for (std::size_t i = 0; i < directories.size(); ++i) {
    const std::string& directory = directories[i];
    progress.show(i + 1, format("icacls {}", directory));
    // Judged again where it leads now: the folder may have been swapped for a link since.
    auto target = IcaclsTarget::hold(directory, kTargetProfile);
    if (!target) {
      log(Level::Warn, kTargetProfile, "package dir {} grant failed: {}", directory,
          target.error());
      continue;
    }
    if (!*target) continue;
    if (notices != nullptr) notices->before_icacls((*target)->path(), grants, kIcaclsDirFlags);
    auto run = run_icacls((*target)->path(), grants, kIcaclsDirFlags);
    if (!run) {
      log(Level::Warn, kTargetProfile, "package dir {} icacls spawn failed: {}", directory,
          run.error());
    } else if (!run->ok()) {
      log(Level::Warn, kTargetProfile, "package dir {} grant failed: {}", directory,
          run->error_text);
    } else {
      log(Level::Info, kTargetProfile, "package dir granted: {}", directory);
    }
  }
}

}  // namespace tavo
