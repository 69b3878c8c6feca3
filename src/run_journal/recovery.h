// Finishing what killed runs left: their journals tell what to take back.
#pragma once

#include "acl/dacl_lock.h"

namespace tavo {

// First makes or checks the journal folder (see make_private_journal_dir): from one that cannot
// be made the user's own, nothing is recovered. Then takes back, under the DACL edit lock, what
// every run whose process is gone left behind: its denies always, its grants too when its
// command never started, as the run itself would have. Then removes its journal. A journal that
// cannot be trusted or read (see read_journals) is renamed aside before the lock is taken, never
// removed unread; a live run's journal is never touched. Nothing here fails the caller. True
// when the journal folder was found or made private just now, so that a run need not check it
// again before its own journal.
bool recover_interrupted_runs(DaclEditLock& lock);

}  // namespace tavo
