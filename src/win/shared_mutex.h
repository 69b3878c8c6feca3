// A named mutex that runs of every user share, whoever creates it first.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

// The descriptor such a mutex is born with: SYSTEM and Administrators have full control
// (MUTEX_ALL_ACCESS), every authenticated user `users_access` and nothing more, so that no run
// can change its DACL and shut the others out. Whoever creates the mutex first decides its DACL;
// left to the default, an elevated creator would admit only administrators and SYSTEM.
std::string shared_mutex_sddl(DWORD users_access);

// Creates the mutex `name` with that descriptor, or opens it where it exists, asking for
// `users_access` alone (CreateMutexW would ask for full control, which an unprivileged caller
// does not have on a mutex an administrator made). The error is the platform's.
std::expected<unique_handle, HresultError> create_shared_mutex(std::string_view name,
                                                               DWORD users_access);

}  // namespace tavo
