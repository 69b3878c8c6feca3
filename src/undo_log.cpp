#include "undo_log.h"

#include <algorithm>

#include "acl.h"
#include "log.h"

namespace tavo {

void UndoLog::keep_grants() {
  std::erase_if(changes_,
                [](const DaclChange& change) { return change.kind == ChangeKind::Grant; });
}

void UndoLog::undo_all() {
  // Last first: a later edit of the same object recorded what an earlier one had left, so only
  // this order ends at what stood before the run.
  while (!changes_.empty()) {
    const DaclChange& change = changes_.back();
    if (auto undone = restore_entries(sid_, change); !undone) {
      log(Level::Warn, kTargetMain,
          change.kind == ChangeKind::Grant ? "rollback revoke {} failed: {}"
                                           : "rollback deny-revoke {} failed: {}",
          change.path, undone.error());
    }
    changes_.pop_back();
  }
}

}  // namespace tavo
