// Starting the user's command in an AppContainer, inside a job that ends the whole process tree
// when the launch returns.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win/api.h"
#include "win/error.h"

namespace tavo {

// Whether `command` can be the program word of a command line: one holding a double quote cannot
// (see command_line), and launch_sandboxed refuses it with ERROR_INVALID_NAME.
bool is_launchable_program(std::string_view command);

// Runs the command in the AppContainer of `sid` (borrowed) with no capabilities, this process's
// standard handles (inheritable copies; the NUL device for a missing one) and environment, in
// `cwd` or this process's current directory, and waits for it. The result is its exit code; an
// error is the failure of the platform call that stopped the launch, and no process of the launch
// is left running after one. A command holding a double quote fails with ERROR_INVALID_NAME
// before anything is created. When `stop` (an event, may be null) is signalled first, the whole
// job is ended and the command's exit code reads 0xC000013A, as after a console's close.
std::expected<std::uint32_t, HresultError> launch_sandboxed(PSID sid, std::string_view command,
                                                            const std::vector<std::string>& args,
                                                            const std::optional<std::string>& cwd,
                                                            HANDLE stop = nullptr);

}  // namespace tavo
