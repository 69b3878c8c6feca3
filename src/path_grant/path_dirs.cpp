#include "path_grant/path_dirs.h"

#include <unordered_set>
#include <vector>

#include "acl/acl.h"
#include "acl/guarded_paths.h"
#include "path_grant/all_app_packages.h"
#include "path_grant/icacls.h"
#include "path_grant/icacls_target.h"
#include "path_grant/path_entries.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "win/fs.h"
#include "win/path.h"

namespace tavo {
namespace {

enum class Reporting { Logged, Silent };

struct PathScan {
  std::vector<std::string> kept;  // directory strings, in PATH order
  std::size_t total = 0;          // every PATH entry, empty ones included
};

// Each PATH directory once, existing, rooted, and not already open to every AppContainer.
PathScan scan_path(Reporting reporting) {
  const bool logged = reporting == Reporting::Logged;
  const std::vector<std::string> entries = path_entries();
  PathScan scan{{}, entries.size()};
  std::unordered_set<std::string> keys;
  for (const std::string& entry : entries) {
    const std::string directory = directory_string(entry);
    // Taken before the tests below, so that a later duplicate of a dropped entry goes silently.
    if (!keys.insert(path_dir_key(entry)).second) continue;
    if (!fs::exists(directory)) {
      if (logged) log(Level::Debug, kTargetPathGrant, "PATH skip (not found): {}", directory);
      continue;
    }
    // A relative entry or a bare drive would make a recursive grant walk whatever directory it
    // resolves to at registration time.
    if (!is_rooted_directory(directory)) {
      if (logged) log(Level::Debug, kTargetPathGrant, "PATH skip (not absolute): {}", directory);
      continue;
    }
    if (has_all_app_packages_ace(directory)) {
      if (logged) log(Level::Debug, kTargetPathGrant, "PATH skip (has AAP): {}", directory);
      continue;
    }
    // Like every other path the program changes; a system location admits every AppContainer
    // already, so what it skips is nothing a command needs.
    if (skip_system_path(directory, kTargetPathGrant)) continue;
    scan.kept.push_back(directory);
  }
  return scan;
}

// Calls `grant(ancestor)` for each ancestor of the kept directories that lies below a root, that
// no earlier directory reached, that does not admit every AppContainer already, and that the
// system-path guard does not refuse.
template <class Grant>
void for_each_new_ancestor(const std::vector<std::string>& directories, Grant grant) {
  std::unordered_set<std::string> seen;
  for (const std::string& directory : directories) {
    std::string current = directory;
    while (std::optional<std::string> parent = path::parent(current)) {
      if (!path::parent(*parent)) break;  // drive and share roots are never granted here
      // Everything above an ancestor met before was handled then.
      if (!seen.insert(*parent).second) break;
      if (!has_all_app_packages_ace(*parent) && !skip_system_path(*parent, kTargetPathGrant)) {
        grant(*parent);
      }
      current = *parent;
    }
  }
}

std::string read_execute_grant(std::string_view sddl) {
  return format("*{}:(OI)(CI)(RX)", sddl);
}

bool is_git_cmd_directory(const std::string& directory) {
  const std::string name = path::file_name(directory).value_or("");
  return name.size() == 3 && (name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'm' &&
         (name[2] | 0x20) == 'd';
}

// The mingw64 directory beside a Git "cmd" directory, where it exists.
std::optional<std::string> git_mingw64_beside(const std::string& cmd_directory) {
  std::string mingw = path::join(path::parent(cmd_directory).value_or(cmd_directory), "mingw64");
  if (!fs::exists(mingw)) return std::nullopt;
  return mingw;
}

void grant_git_mingw64(const std::string& mingw, const std::vector<std::string>& grants,
                       GrantNotices* notices) {
  auto target = IcaclsTarget::hold(mingw, kTargetPathGrant);
  if (!target) {
    log(Level::Warn, kTargetPathGrant, "Git mingw64 grant on {} failed: {}", mingw, target.error());
    return;
  }
  if (!*target) return;
  if (notices != nullptr) notices->before_icacls((*target)->path(), grants, kIcaclsTreeFlags);
  auto run = run_icacls((*target)->path(), grants, kIcaclsTreeFlags);
  if (!run) {
    log(Level::Warn, kTargetPathGrant, "Git mingw64 icacls spawn failed: {}", run.error());
  } else if (!run->ok()) {
    log(Level::Warn, kTargetPathGrant, "Git mingw64 grant on {} failed: {}", mingw,
        run->error_text);
  } else {
    log(Level::Info, kTargetPathGrant, "batch PATH grant (Git mingw64): {}", mingw);
  }
}

// What differs between one SID's scan (a profile's registration) and a pool's, side by side.
struct ScanKind {
  Reporting skips;
  // Whether an icacls that cannot be started ends the scan with an error, or is warned about.
  bool spawn_failure_ends_scan;
  // Whether the mingw64 directory beside a Git "cmd" directory is granted too.
  bool git_mingw64;
  std::string_view ancestor_failed;  // "{}": the ancestor, the error
  std::string_view target_failed;    // "{}": the directory, the error
  std::string_view spawn_failed;     // "{}": the directory, the error
  std::string_view applied;          // "{}": the directory
};

constexpr ScanKind kOneSid = {
    .skips = Reporting::Logged,
    .spawn_failure_ends_scan = true,
    .git_mingw64 = false,
    .ancestor_failed = "PATH ancestor grant on {} failed: {}",
    .target_failed = "PATH grant on {} failed: {}",
    .spawn_failed = "failed to spawn icacls for {}: {}",
    .applied = "PATH grant applied: {}",
};

constexpr ScanKind kPool = {
    .skips = Reporting::Silent,
    .spawn_failure_ends_scan = false,
    .git_mingw64 = true,
    .ancestor_failed = "ancestor traverse grant on {} failed: {}",
    .target_failed = "batch PATH grant on {} failed: {}",
    .spawn_failed = "icacls spawn for {} failed: {}",
    .applied = "batch PATH grant applied: {}",
};

struct Grantee {
  PSID sid;
  std::string_view sddl;
};

// Traversal on the new ancestors, then one icacls run per kept directory carrying one grant per
// SID.
std::expected<void, std::string> grant_scanned(const ScanKind& kind, const PathScan& scan,
                                               std::span<const Grantee> grantees,
                                               DaclEditLock& lock, GrantNotices* notices) {
  for_each_new_ancestor(scan.kept, [&](const std::string& ancestor) {
    for (const Grantee& grantee : grantees) {
      PlacementNotice* notice = notices != nullptr ? notices->traversal_of(grantee.sid) : nullptr;
      if (auto granted = grant_traverse(grantee.sid, ancestor, lock.hold(), notice); !granted) {
        log(Level::Warn, kTargetPathGrant, kind.ancestor_failed, ancestor, granted.error());
      }
    }
  });
  std::vector<std::string> grants;
  for (const Grantee& grantee : grantees)
    grants.push_back(read_execute_grant(grantee.sddl));
  ProgressLine progress(scan.kept.size());
  for (std::size_t i = 0; i < scan.kept.size(); ++i) {
    const std::string& directory = scan.kept[i];
    progress.show(i + 1, format("icacls {}", directory));
    auto target = IcaclsTarget::hold(directory, kTargetPathGrant);
    if (!target) {
      log(Level::Warn, kTargetPathGrant, kind.target_failed, directory, target.error());
      continue;
    }
    if (!*target) continue;
    if (notices != nullptr) notices->before_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    auto run = run_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    if (!run && kind.spawn_failure_ends_scan) {
      return std::unexpected(format(kind.spawn_failed, directory, run.error()));
    }
    if (!run) {
      log(Level::Warn, kTargetPathGrant, kind.spawn_failed, directory, run.error());
      continue;
    }
    if (!run->ok()) {
      log(Level::Warn, kTargetPathGrant, kind.target_failed, directory, run->error_text);
    } else {
      log(Level::Info, kTargetPathGrant, kind.applied, directory);
    }
    if (!kind.git_mingw64 || !is_git_cmd_directory(directory)) continue;
    if (std::optional<std::string> mingw = git_mingw64_beside(directory)) {
      progress.show(i + 1, format("icacls {}", *mingw));
      grant_git_mingw64(*mingw, grants, notices);
    }
  }
  return {};
}

}  // namespace

std::expected<void, std::string> grant_path_dirs(PSID sid, std::string_view sddl,
                                                 DaclEditLock& lock, GrantNotices* notices) {
  const PathScan scan = scan_path(kOneSid.skips);
  log(Level::Info, kTargetPathGrant, "granting read on {} PATH directories ({} skipped)",
      scan.kept.size(), scan.total - scan.kept.size());
  const Grantee grantee{sid, sddl};
  return grant_scanned(kOneSid, scan, std::span(&grantee, 1), lock, notices);
}

void grant_path_dirs_batch(std::span<const PoolEntry> entries, DaclEditLock& lock,
                           GrantNotices* notices) {
  const PathScan scan = scan_path(kPool.skips);
  log(Level::Info, kTargetPathGrant, "batch PATH-scan: {} dirs, {} SIDs", scan.kept.size(),
      entries.size());
  std::vector<Grantee> grantees;
  for (const PoolEntry& entry : entries)
    grantees.push_back(Grantee{entry.sid.get(), entry.sddl});
  // Every failure of a pool's scan is logged where it happens; nothing ends it.
  (void)grant_scanned(kPool, scan, grantees, lock, notices);
}

}  // namespace tavo
