// Where the system's own tools live.
#pragma once

#include <expected>
#include <string>

#include "win/error.h"

namespace tavo {

// The system folder (C:\Windows\System32), as the platform names it. A program the registrations
// start elevated is taken from here by its full path: a search by bare name looks in the
// program's own folder and in the current folder first, where a user may have put one.
std::expected<std::string, IoError> system_folder();

}  // namespace tavo
