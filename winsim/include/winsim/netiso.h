// The machine's loopback-exempt list (firewallapi.dll). The program looks these up with
// GetProcAddress.
#pragma once

#include "winsim/security.h"

// The array and every entry's SID come from the process heap: release each SID, then the
// array, with HeapFree(GetProcessHeap(), 0, ...). Both return Win32 errors.
DWORD NetworkIsolationGetAppContainerConfig(DWORD* count, PSID_AND_ATTRIBUTES* app_containers);
// Replaces the whole list.
DWORD NetworkIsolationSetAppContainerConfig(DWORD count, PSID_AND_ATTRIBUTES app_containers);
