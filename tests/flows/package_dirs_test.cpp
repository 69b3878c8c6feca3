// The tool-cache directories against winsim's trace: what is looked at, not only what is found.
#include "sandbox_profile/package_dirs.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

class PackageDirLookup : public testing::MachineTest {};

TEST_F(PackageDirLookup, AnEmptyBaseLooksAtNothingAtTheDriveRoot) {
  testing::ScopedEnv profile("USERPROFILE", "");
  testing::ScopedEnv local("LOCALAPPDATA", std::nullopt);
  testing::ScopedEnv roaming("APPDATA", std::nullopt);
  EXPECT_TRUE(user_package_dirs().empty());
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW"), 0u);
}

}  // namespace
}  // namespace tavo
