// The standard handles a child process is started with, made fit for a handle list: the
// platform refuses a listed handle that is not inheritable or is a pseudo handle, and what it
// does with one listed twice is not known.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <vector>

#include "win/api.h"
#include "win/attribute_list.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

class ChildStdHandles {
 public:
  // An inheritable duplicate of each of this process's standard handles (one duplicate for a
  // handle that serves as two, so the child sees them as one as this process does) and, for a
  // missing one, an inheritable handle to the NUL device. An error is the failure of the
  // duplication or of the NUL device's opening.
  static std::expected<ChildStdHandles, HresultError> of_this_process();

  // Input, output and error, for the start-up information.
  HANDLE input() const { return std_[0]; }
  HANDLE output() const { return std_[1]; }
  HANDLE error() const { return std_[2]; }

  // The size of the handle list: each handle once.
  std::size_t list_size() const { return listed_.size() * sizeof(HANDLE); }

  // Lists each handle once in `list` (PROC_THREAD_ATTRIBUTE_HANDLE_LIST) and names the three in
  // `info`, which is given the list. Both read this object's handles: it must outlive the
  // process creation.
  std::expected<void, HresultError> hand_to(AttributeList& list, STARTUPINFOEXW& info);

 private:
  ChildStdHandles() = default;

  std::vector<unique_handle> owned_;  // closed once the child holds its own copies
  std::vector<HANDLE> listed_;        // the same handles, laid out as the attribute reads them
  std::array<HANDLE, 3> std_{};
};

}  // namespace tavo
