// The include switch: the Windows SDK on Windows, winsim's stand-in everywhere else.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>
#else
#include <winsim/win32.h>
#endif
