// SID files: a SID's SDDL string in a file of its own.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "sid/sandbox_sid.h"
#include "win/error.h"

namespace tavo {

// Reads a SID file: its text, white space trimmed from both ends, converted to a SID of kind
// SidFile. The error is a message naming the file.
std::expected<SandboxSid, std::string> read_sid_file(std::string_view path);

}  // namespace tavo
