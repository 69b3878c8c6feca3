// A folder replaced by a link between two calls of the program: the race a link-following
// attacker runs, won on purpose for tests.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files.h"
#include "host_paths.h"
#include "internal.h"
#include "objects.h"

namespace winsim::detail {
namespace {

[[noreturn]] void give_up(const LinkSwap& swap, const char* step) {
  std::fprintf(stderr, "winsim: cannot replace %s by a link to %s: %s: %s\n", swap.folder.c_str(),
               swap.target.c_str(), step, std::strerror(errno));
  std::abort();
}

}  // namespace

void replace_with_link(const LinkSwap& swap) {
  StateChange change;
  // Armed from memory; a reload since may have brought the record back from the file.
  drop_swap_faults(swap);
  const auto folder = host_path(widen(swap.folder));
  const auto target = host_path(widen(swap.target));
  if (!folder || !target) give_up(swap, "not a path winsim maps");
  // The rename that moves the folder aside is refused like any other while a handle holds the
  // folder without FILE_SHARE_DELETE: the race is lost, and the folder stays.
  if (struct stat st{}; ::lstat(folder->c_str(), &st) == 0 && delete_barred(st)) {
    note("replace_with_link", swap.folder + ": " + std::to_string(ERROR_SHARING_VIOLATION));
    commit_arrangement(change, "replace_with_link_after");
    return;
  }
  const std::string from = canonical_path(*folder);
  const std::string aside = *folder + ".swapped";
  if (::rename(folder->c_str(), aside.c_str()) != 0) give_up(swap, "rename");
  if (::symlink(canonical_path(*target).c_str(), folder->c_str()) != 0) give_up(swap, "symlink");
  // The original keeps its security under its new name; the link has none of its own.
  move_object_records(from, canonical_path(aside));
  commit_arrangement(change, "replace_with_link_after");
}

}  // namespace winsim::detail
