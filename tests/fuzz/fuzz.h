// What the fuzz targets share (with the headers they all use): reporting a failed property, cutting
// an input into pieces, and a place for the files a target writes for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::fuzz {

// Says which property failed, with the values that broke it, and aborts, so that libFuzzer keeps
// the input as a finding.
[[noreturn]] inline void finding(std::string_view property, std::string_view detail = {}) {
  std::cerr << "\nproperty failed: " << property << '\n' << detail << std::endl;
  std::abort();
}

// The words of a list, each in brackets, for a finding's detail.
inline std::string show(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words)
    out += "[" + word + "] ";
  return out;
}

// The text cut at every `separator` (no separator: one piece), for bytes or UTF-16 units.
template <class Text, class Char = typename Text::value_type>
std::vector<std::basic_string<Char>> split(const Text& text, Char separator) {
  std::vector<std::basic_string<Char>> pieces;
  std::basic_string_view<Char> rest(text);
  while (true) {
    const std::size_t at = rest.find(separator);
    pieces.emplace_back(rest.substr(0, at));
    if (at == rest.npos) return pieces;
    rest.remove_prefix(at + 1);
  }
}

// A file of this process in $TAVO_FUZZ_SCRATCH, which scripts/fuzz keeps in memory (a disk would
// set the pace), or else in the temporary directory.
inline std::string scratch_file(const std::string& name) {
  const char* dir = std::getenv("TAVO_FUZZ_SCRATCH");
  const std::filesystem::path base =
      dir != nullptr && *dir != '\0' ? dir : std::filesystem::temp_directory_path();
  return base / ("tavo-fuzz-" + std::to_string(::getpid()) + "-" + name);
}

}  // namespace tavo::fuzz
