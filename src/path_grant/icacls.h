// Runs of the system's icacls tool, for the recursive and batched grants.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "win/error.h"

namespace tavo {

// Recurse into the whole tree, continue after errors, no success messages, and change a link
// itself rather than what it names.
inline constexpr std::array<std::string_view, 4> kIcaclsTreeFlags = {"/T", "/C", "/Q", "/L"};
// The directory itself only.
inline constexpr std::array<std::string_view, 3> kIcaclsDirFlags = {"/C", "/Q", "/L"};

struct IcaclsRun {
  std::uint32_t exit_code;
  std::string error_text;  // the trimmed standard error of a run that failed; empty otherwise
  bool ok() const { return exit_code == 0; }
};

// One awaited run of the system folder's icacls.exe, started by its full path: icacls TARGET
// /grant G1 /grant G2 ... FLAGS (with another `operation`, such as "/remove:g", in place of
// each "/grant"). The error is a failed start (or, after a platform failure, a run that could
// not be awaited; it has been ended then).
std::expected<IcaclsRun, IoError> run_icacls(std::string_view target,
                                             const std::vector<std::string>& grants,
                                             std::span<const std::string_view> flags,
                                             std::string_view operation = "/grant");

}  // namespace tavo
