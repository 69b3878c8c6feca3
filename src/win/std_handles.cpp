#include "win/std_handles.h"

#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::array<DWORD, 3> kSlots = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

}  // namespace

bool is_missing_std_handle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;
  // A valid handle of no known type answers FILE_TYPE_UNKNOWN with NO_ERROR.
  SetLastError(ERROR_SUCCESS);
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() == ERROR_INVALID_HANDLE;
}

std::expected<StdHandleSlots, HresultError> StdHandleSlots::take() {
  // All three are read before anything is opened: the NUL handle made for one slot must not be
  // mistaken for another slot's.
  std::array<HANDLE, 3> given{};
  for (std::size_t i = 0; i < kSlots.size(); ++i)
    given[i] = GetStdHandle(kSlots[i]);
  StdHandleSlots slots;
  for (std::size_t i = 0; i < kSlots.size(); ++i) {
    slots.was_[i] = given[i];
    if (!is_missing_std_handle(given[i])) continue;
    // Not inheritable: the command gets its own copy of each standard handle.
    unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (!nul) return std::unexpected(HresultError::from_last_error());
    if (!SetStdHandle(kSlots[i], nul.get()))
      return std::unexpected(HresultError::from_last_error());
    slots.nul_[i] = std::move(nul);
  }
  return slots;
}

StdHandleSlots::~StdHandleSlots() {
  for (std::size_t i = 0; i < kSlots.size(); ++i) {
    if (!nul_[i]) continue;
    SetStdHandle(kSlots[i], was_[i]);
    nul_[i].reset();
  }
}

std::size_t StdHandleSlots::filled() const {
  std::size_t count = 0;
  for (const unique_handle& nul : nul_)
    count += nul ? 1 : 0;
  return count;
}

}  // namespace tavo
