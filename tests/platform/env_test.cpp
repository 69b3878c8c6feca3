#include "win/env.h"

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

class Environment : public testing::MachineTest {};

TEST_F(Environment, TellsUnsetFromEmpty) {
  testing::ScopedEnv set("TAVO_TEST_VALUE", std::string(300, 'v'));  // longer than a first guess
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), std::string(300, 'v'));
  testing::set_env("TAVO_TEST_VALUE", "");
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), "");
  testing::set_env("TAVO_TEST_VALUE", std::nullopt);
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), std::nullopt);
  testing::set_env("TAVO_TEST_VALUE", "C:\\Users\\\xC3\xA9");
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), "C:\\Users\\\xC3\xA9");
}

}  // namespace
}  // namespace tavo
