// The files that make a named mutex one object for every process on the machine, beside the
// WINSIM_STATE file:
//
//   $WINSIM_STATE.mutex.<SHA-256 of the name>  ownership: an exclusive flock on it; while owned
//                                              it holds "held by pid N"
//   $WINSIM_STATE.name.<SHA-256 of the name>   the name (named_objects.h): every process with a
//                                              handle holds a shared flock on it
//
// The kernel drops a dead process's locks, so a mark found by the next owner means its owner
// died (or closed its last handle) holding it: the mutex was abandoned. A process that finds
// itself alone on the name knows that no other process has a handle: on Windows the mutex would
// not exist any more, so it is created anew and an owner's old mark means nothing.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "internal.h"
#include "named_objects.h"

namespace winsim::detail {

class MutexFiles {
 public:
  struct Opened {
    std::unique_ptr<MutexFiles> files;
    bool created = false;  // no other process had a handle
    bool owned = false;    // created, and taken by this process as it was created
    std::string dacl;      // the name's
  };
  // This process's way into the named mutex, marked as holding a handle. `create` false: fails
  // with ERROR_FILE_NOT_FOUND when no process has a handle. `own_if_created`: a mutex created
  // here is owned before any other process can reach it. A mutex created here gets `dacl`; one
  // that exists must be a mutex whose DACL grants `access` (ERROR_INVALID_HANDLE,
  // ERROR_ACCESS_DENIED). Other failures give the host's error as a Win32 error.
  static std::expected<Opened, DWORD> open(const std::string& name, bool create,
                                           bool own_if_created, const std::string& dacl,
                                           ACCESS_MASK access);

  // Takes ownership, waiting up to `milliseconds` (INFINITE: as long as it takes). True when
  // taken, false on time-out; the host's error as a Win32 error.
  std::expected<bool, DWORD> lock(DWORD milliseconds);
  // Right after lock(): whether the previous owner left its mark (it died holding the mutex, or
  // a test abandoned it), replacing the mark with this process's own.
  bool take_over();
  // Clears this process's mark and gives ownership up.
  void unlock();

  // Marks the mutex as though its owner had died holding it, for the next owner in any process.
  static DWORD mark_abandoned(const std::string& name);

 private:
  MutexFiles(HostDescriptor owner, HostDescriptor name)
      : owner_(std::move(owner)), name_(std::move(name)) {}

  HostDescriptor owner_;
  HostDescriptor name_;
};

}  // namespace winsim::detail
