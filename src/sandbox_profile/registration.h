// Registering one named sandbox profile for later unprivileged runs.
#pragma once

#include <expected>
#include <string_view>

#include "win/error.h"

namespace tavo {

// Creates or finds the profile, exempts it from loopback isolation, denies it the credential
// stores, grants it traversal, its package directory, the NUL device, the tool caches and PATH,
// and writes its SID file last. Only the profile, its SDDL form, the loopback exemption and the
// SID file are fatal; everything else is warned about (registration_steps.cpp holds the steps,
// beside what each costs a pool). Nothing done is undone on failure.
std::expected<void, HresultError> register_sandbox_profile(std::string_view profile_name,
                                                           std::string_view sid_out_file);

}  // namespace tavo
