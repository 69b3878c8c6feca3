// SIDs for tests, owned like the program's.
#pragma once

#include <string_view>

#include "sid/sandbox_sid.h"

namespace tavo::testing {

inline constexpr std::string_view kTestSid = "S-1-15-2-1-2-3-4-5-6-7";
inline constexpr std::string_view kOtherSid = "S-1-15-2-7-6-5-4-3-2-1";

// A SID converted from text (kind SidFile, released with LocalFree).
SandboxSid make_sid(std::string_view sddl = kTestSid);

bool sid_equal(PSID a, PSID b);

}  // namespace tavo::testing
