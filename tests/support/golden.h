// Files under tests/data that pin an on-disk format byte for byte, read as stored.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tavo::testing {

inline std::string golden_file(std::string_view name) {
  std::ifstream file(std::string(TAVO_SOURCE_DIR) + "/tests/data/" + std::string(name),
                     std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace tavo::testing
