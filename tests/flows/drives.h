// A simulated machine's drives below a scratch directory, WINSIM_ROOT while it lives.
#pragma once

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "support/current_directory.h"
#include "support/env.h"
#include "support/temp_dir.h"

namespace tavo::testing {

// The host path of a drive path on a machine whose drives lie below `root`: "C:\A\B" is
// ROOT/c/A/B.
inline std::string host_path(const TempDir& root, std::string_view windows_path) {
  std::string rest(windows_path.substr(2));
  std::replace(rest.begin(), rest.end(), '\\', '/');
  return root.path() + "/" + static_cast<char>(windows_path[0] | 0x20) + rest;
}

class Drives {
 public:
  // The host directory of a drive path below $WINSIM_ROOT.
  std::string host(std::string_view windows_path) const { return host_path(root_, windows_path); }

  void make_dirs(std::initializer_list<std::string_view> windows_paths) const {
    for (std::string_view dir : windows_paths)
      std::filesystem::create_directories(host(dir));
  }

 private:
  TempDir root_;
  ScopedEnv env_{"WINSIM_ROOT", root_.path()};
};

}  // namespace tavo::testing
