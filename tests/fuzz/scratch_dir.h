// A directory for the files a target writes for every input: $TAVO_FUZZ_SCRATCH when set (what
// scripts/fuzz does, removing it afterwards), otherwise a new one in memory where the host allows
// (/dev/shm), since a disk would set the pace of the fuzzing.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

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

// Replaces the file's content with an input's bytes.
inline void write_input(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace tavo::fuzz
