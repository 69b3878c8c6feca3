// AppContainer profiles: creating or finding one by name, deriving its SID, deleting it.
#pragma once

#include <expected>
#include <string_view>

#include "sid/sandbox_sid.h"
#include "win/error.h"

namespace tavo {

// Creates the profile (name, display name and description all `name`, no capabilities), or, when
// it exists already, derives its SID. Either way the SID of kind Profile.
std::expected<SandboxSid, HresultError> ensure_profile(std::string_view name);

// The SID the platform derives from a profile name; creates nothing.
std::expected<SandboxSid, HresultError> derive_sid(std::string_view name);

// Deletes the profile; deleting one that does not exist succeeds.
std::expected<void, HresultError> delete_profile(std::string_view name);

// The three profile functions come from userenv.dll, looked up at first use; when one is missing
// every profile operation fails with Win32 error 127. Tests use this to look them up again.
void forget_profile_functions();

}  // namespace tavo
