#include "sandbox_profile/package_dirs.h"

#include "base/format.h"
#include "win/env.h"
#include "win/fs.h"

namespace tavo {

std::vector<std::string> user_package_dirs() {
  std::vector<std::string> dirs;
  for (const UserPackageDirGroup& group : USER_PACKAGE_DIRS) {
    const std::optional<std::string> base = env_directory(group.base_variable);
    if (!base) continue;
    for (std::string_view subdirectory : group.subdirectories) {
      std::string dir = format("{}\\{}", *base, subdirectory);
      if (fs::exists(dir)) dirs.push_back(std::move(dir));
    }
  }
  return dirs;
}

}  // namespace tavo
