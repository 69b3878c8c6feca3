// What the rest of winsim needs of mutexes: waiting on a mutex handle.
#pragma once

#include <optional>

#include "internal.h"

namespace winsim::detail {

// WaitForSingleObject on a mutex handle (setting the last error when it fails); nothing when the
// handle is not a mutex.
std::optional<DWORD> wait_for_mutex(HANDLE handle, DWORD milliseconds);

}  // namespace winsim::detail
