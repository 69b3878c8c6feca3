// This process's standard handles, taken before it opens anything of its own.
#pragma once

#include <array>
#include <expected>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

// Whether a standard handle is missing: null, the invalid value, or a value that names no open
// handle (GetFileType answers FILE_TYPE_UNKNOWN with ERROR_INVALID_HANDLE).
bool is_missing_std_handle(HANDLE handle);

// A process started with a closed standard handle keeps a slot whose value the next handle it
// opens may take: its log lines and its command's output would then land in whatever file it
// opened first. Taken first, every missing slot is filled at once with the NUL device, so no
// later handle of the process can ever be a standard one.
class StdHandleSlots {
 public:
  // Fills each missing slot with a handle to the NUL device. An error is the failure of the
  // device's opening or of SetStdHandle; the slots filled before it are put back.
  static std::expected<StdHandleSlots, HresultError> take();

  StdHandleSlots(StdHandleSlots&&) = default;
  StdHandleSlots& operator=(StdHandleSlots&&) = delete;
  // Puts back what the filled slots held and closes the NUL handles.
  ~StdHandleSlots();

  // How many slots were missing and now hold the NUL device.
  std::size_t filled() const;

 private:
  StdHandleSlots() = default;

  std::array<unique_handle, 3> nul_;  // the NUL handle a slot was given, if any
  std::array<HANDLE, 3> was_{};       // what the slot held before
};

}  // namespace tavo
