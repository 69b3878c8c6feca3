// AppContainer profiles (userenv.dll). The program looks these up with GetProcAddress.
#pragma once

#include "winsim/security.h"

// SIDs handed out here are released with FreeSid.
HRESULT CreateAppContainerProfile(PCWSTR name, PCWSTR display_name, PCWSTR description,
                                  PSID_AND_ATTRIBUTES capabilities, DWORD capability_count,
                                  PSID* sid);
HRESULT DeriveAppContainerSidFromAppContainerName(PCWSTR name, PSID* sid);
HRESULT DeleteAppContainerProfile(PCWSTR name);
