// A directory for the files a target writes for every input: $TAVO_FUZZ_SCRATCH when set (what
// scripts/fuzz does, removing it afterwards), otherwise a new one in memory where the host allows
// (/dev/shm), since a disk would set the pace of the fuzzing.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tavo::fuzz {

inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    if (const char* given = std::getenv("TAVO_FUZZ_SCRATCH"); given != nullptr && *given != '\0')
      return std::string(given);
    std::filesystem::path base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path();
    std::string made = (base / "tavo-fuzz-XXXXXX").string();
    if (::mkdtemp(made.data()) == nullptr) std::abort();
    return made;
  }();
  return dir;
}

}  // namespace tavo::fuzz
