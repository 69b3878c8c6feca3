// Finishing what killed runs left: their journals tell what to take back.
#pragma once

namespace tavo {

// Takes back, under the DACL edit lock, what every run whose process is gone left behind: its
// denies always, its grants too when its command never started, as the run itself would have.
// Then removes its journal. A journal that cannot be read is renamed aside, never removed
// unread; a live run's journal is never touched. Nothing here fails the caller.
void recover_interrupted_runs();

}  // namespace tavo
