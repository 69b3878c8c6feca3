// The Win32 subset that winsim provides, under the SDK's names. The program includes this header
// on hosts other than Windows, in place of the SDK's headers.
#pragma once

#include "winsim/kernel.h"
#include "winsim/types.h"
