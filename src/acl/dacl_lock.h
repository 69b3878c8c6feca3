// The one lock every edit of a DACL by this program holds from its read to its write.
#pragma once

#include "win/unique.h"

namespace tavo {

// Every DACL edit is a read, a change in memory and a write; two processes doing that to one
// object at once would each write a DACL without the other's entry. Holding this machine-wide
// mutex from the read to the write makes the edits of overlapping runs and registrations follow
// one another. It is never held while a command runs.
//
// The lock never fails an edit: when the mutex cannot be created, opened or waited for, the edit
// goes on without it after a log line. A mutex whose holder died is taken over as usual.
class DaclEditLock {
 public:
  DaclEditLock();
  ~DaclEditLock();
  DaclEditLock(const DaclEditLock&) = delete;
  DaclEditLock& operator=(const DaclEditLock&) = delete;

 private:
  unique_handle mutex_;
  bool held_ = false;
};

}  // namespace tavo
