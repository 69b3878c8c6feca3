// What the rest of winsim needs of mutexes: waiting on a mutex handle.
#pragma once

#include <optional>
#include <string>

#include "internal.h"

namespace winsim::detail {

// WaitForSingleObject on a mutex handle (setting the last error when it fails); nothing when the
// handle is not a mutex.
std::optional<DWORD> wait_for_mutex(HANDLE handle, DWORD milliseconds);
// The name of the mutex a handle stands for ("" for an unnamed one); nothing for another handle.
std::optional<std::string> mutex_name_of(HANDLE handle);

}  // namespace winsim::detail
