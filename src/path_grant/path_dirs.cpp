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

}  // namespace

std::expected<void, std::string> grant_path_dirs(PSID sid, std::string_view sddl,
                                                 DaclEditLock& lock, GrantNotices* notices) {
  const PathScan scan = scan_path(Reporting::Logged);
  log(Level::Info, kTargetPathGrant, "granting read on {} PATH directories ({} skipped)",
      scan.kept.size(), scan.total - scan.kept.size());
  for_each_new_ancestor(scan.kept, [&](const std::string& ancestor) {
    PlacementNotice* notice = notices != nullptr ? notices->traversal_of(sid) : nullptr;
    if (auto granted = grant_traverse(sid, ancestor, lock.hold(), notice); !granted) {
      log(Level::Warn, kTargetPathGrant, "PATH ancestor grant on {} failed: {}", ancestor,
          granted.error());
    }
  });
  const std::vector<std::string> grants = {read_execute_grant(sddl)};
  ProgressLine progress(scan.kept.size());
  for (std::size_t i = 0; i < scan.kept.size(); ++i) {
    const std::string& directory = scan.kept[i];
    progress.show(i + 1, format("icacls {}", directory));
    auto target = IcaclsTarget::hold(directory, kTargetPathGrant);
    if (!target) {
      log(Level::Warn, kTargetPathGrant, "PATH grant on {} failed: {}", directory, target.error());
      continue;
    }
    if (!*target) continue;
    if (notices != nullptr) notices->before_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    auto run = run_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    if (!run)
      return std::unexpected(format("failed to spawn icacls for {}: {}", directory, run.error()));
    if (!run->ok()) {
      log(Level::Warn, kTargetPathGrant, "PATH grant on {} failed: {}", directory, run->error_text);
    } else {
      log(Level::Info, kTargetPathGrant, "PATH grant applied: {}", directory);
    }
  }
  return {};
}

void grant_path_dirs_batch(std::span<const PoolEntry> entries, DaclEditLock& lock,
                           GrantNotices* notices) {
  const PathScan scan = scan_path(Reporting::Silent);
  log(Level::Info, kTargetPathGrant, "batch PATH-scan: {} dirs, {} SIDs", scan.kept.size(),
      entries.size());
  std::vector<std::string> grants;
  for (const PoolEntry& entry : entries)
    grants.push_back(read_execute_grant(entry.sddl));

  for_each_new_ancestor(scan.kept, [&](const std::string& ancestor) {
    for (const PoolEntry& entry : entries) {
      PlacementNotice* notice =
          notices != nullptr ? notices->traversal_of(entry.sid.get()) : nullptr;
      if (auto granted = grant_traverse(entry.sid.get(), ancestor, lock.hold(), notice); !granted) {
        log(Level::Warn, kTargetPathGrant, "ancestor traverse grant on {} failed: {}", ancestor,
            granted.error());
      }
    }
  });
  ProgressLine progress(scan.kept.size());
  for (std::size_t i = 0; i < scan.kept.size(); ++i) {
    const std::string& directory = scan.kept[i];
    progress.show(i + 1, format("icacls {}", directory));
    auto target = IcaclsTarget::hold(directory, kTargetPathGrant);
    if (!target) {
      log(Level::Warn, kTargetPathGrant, "batch PATH grant on {} failed: {}", directory,
          target.error());
      continue;
    }
    if (!*target) continue;
    if (notices != nullptr) notices->before_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    auto run = run_icacls((*target)->path(), grants, kIcaclsTreeFlags);
    if (!run) {
      log(Level::Warn, kTargetPathGrant, "icacls spawn for {} failed: {}", directory, run.error());
      continue;
    }
    if (!run->ok()) {
      log(Level::Warn, kTargetPathGrant, "batch PATH grant on {} failed: {}", directory,
          run->error_text);
    } else {
      log(Level::Info, kTargetPathGrant, "batch PATH grant applied: {}", directory);
    }
    if (!is_git_cmd_directory(directory)) continue;
    if (std::optional<std::string> mingw = git_mingw64_beside(directory)) {
      progress.show(i + 1, format("icacls {}", *mingw));
      grant_git_mingw64(*mingw, grants, notices);
    }
  }
}

}  // namespace tavo
