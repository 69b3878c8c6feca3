#include "sandbox_profile/package_dirs.h"

#include "format.h"
#include "win/env.h"
#include "win/fs.h"

namespace tavo {

std::vector<std::string> user_package_dirs() {
  std::vector<std::string> dirs;
  for (const UserPackageDirGroup& group : USER_PACKAGE_DIRS) {
    // An empty base would turn every row into a directory at the root of the current drive,
    // which is not the user's.
    const std::optional<std::string> base = env_var(group.base_variable);
    if (!base || base->empty()) continue;
    for (std::string_view subdirectory : group.subdirectories) {
      std::string dir = format("{}\\{}", *base, subdirectory);
      if (fs::exists(dir)) dirs.push_back(std::move(dir));
    }
  }
  return dirs;
}

}  // namespace tavo
