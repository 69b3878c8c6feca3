// The fixture of tests that touch the platform. Against winsim each test starts on a fresh
// machine and ends by checking that everything handed out was released once, the right way.
// On Windows the fixture adds nothing.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tavo::testing {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// True when the Windows build runs under Wine (some platform texts differ there).
bool running_under_wine();

}  // namespace tavo::testing
