// What a fuzz target does when a property fails: say which, with the values that broke it, and
// abort, so that libFuzzer keeps the input as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::fuzz {

[[noreturn]] inline void finding(std::string_view property, std::string_view detail = {}) {
  std::fprintf(stderr, "\nproperty failed: %.*s\n%.*s\n", static_cast<int>(property.size()),
               property.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// The words of a list, each in brackets, for a finding's detail.
inline std::string show(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words)
    out += "[" + word + "] ";
  return out;
}

// The input cut at every `separator` byte (no separator: one piece).
inline std::vector<std::string> split_bytes(std::string_view data, char separator) {
  std::vector<std::string> pieces;
  while (true) {
    const std::size_t at = data.find(separator);
    pieces.emplace_back(data.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    data.remove_prefix(at + 1);
  }
}

}  // namespace tavo::fuzz
