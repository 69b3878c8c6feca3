// The run mode: a command in the sandbox, with the file access it asked for.
#pragma once

#include "cli.h"

namespace tavo {

// Obtains the SID, guards and applies the grants and denies, launches the command, takes the
// denies back and returns the exit status. A failure before the command ran leaves every entry
// it added removed again.
int run_sandboxed(const Run& command);

}  // namespace tavo
