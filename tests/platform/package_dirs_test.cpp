#include "sandbox_profile/package_dirs.h"

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class PackageDirs : public testing::MachineTest {
 protected:
  testing::TempDir profile, local, roaming;
  testing::ScopedEnv profile_env{"USERPROFILE", profile.path()};
  testing::ScopedEnv local_env{"LOCALAPPDATA", local.path()};
  testing::ScopedEnv roaming_env{"APPDATA", roaming.path()};
};

TEST_F(PackageDirs, OnlyExistingDirectoriesInTableOrder) {
  local.make_dir("npm-cache");
  profile.make_dir(".cargo");
  EXPECT_EQ(user_package_dirs(),
            (std::vector<std::string>{profile.path() + "\\.cargo", local.path() + "\\npm-cache"}));

  local.make_dir("pip/cache");
  roaming.make_dir("npm");
  profile.make_dir(".m2");
  EXPECT_EQ(user_package_dirs(),
            (std::vector<std::string>{profile.path() + "\\.m2", profile.path() + "\\.cargo",
                                      local.path() + "\\npm-cache", local.path() + "\\pip\\cache",
                                      roaming.path() + "\\npm"}));
}

TEST_F(PackageDirs, AGroupWithoutItsVariableIsLeftOut) {
  roaming.make_dir("Python");
  profile.make_dir("go");
  testing::set_env("APPDATA", std::nullopt);
  EXPECT_EQ(user_package_dirs(), std::vector<std::string>{profile.path() + "\\go"});
}

}  // namespace
}  // namespace tavo
