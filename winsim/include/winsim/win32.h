// The Win32 subset that winsim provides, under the SDK's names. The program includes this header
// on hosts other than Windows, in place of the SDK's headers.
#pragma once

#include "winsim/kernel.h"
#include "winsim/netiso.h"
#include "winsim/process.h"
#include "winsim/security.h"
#include "winsim/types.h"
#include "winsim/userenv.h"
