// SIDs in text: their SDDL form, SID files, and comparison.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "sandbox_profile/sandbox_sid.h"
#include "win/error.h"

namespace tavo {

// The SID's SDDL string ("S-1-15-2-...").
std::expected<std::string, HresultError> sid_to_sddl(PSID sid);

// Reads a SID file: its text, white space trimmed from both ends, converted to a SID of kind
// SidFile. The error is a message naming the file.
std::expected<SandboxSid, std::string> read_sid_file(std::string_view path);

// Writes `content` and one line feed to `path`, creating missing parent directories and
// replacing an existing file. A SID file is write_text_file(path, sddl).
std::expected<void, HresultError> write_text_file(std::string_view path, std::string_view content);

bool sid_equal(PSID a, PSID b);

}  // namespace tavo
