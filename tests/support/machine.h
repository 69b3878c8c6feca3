// The fixture of tests that touch the platform. Against winsim each test starts on a fresh
// machine and ends by checking that everything handed out was released once, the right way.
// On Windows the fixture adds nothing.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tavo::testing {

class MachineTest : public ::testing::Test {
 protected:
  // The machine is reset before a derived fixture's members are made and checked after they are
  // gone, so members may hold SIDs and handles.
  MachineTest();
  ~MachineTest() override;

  // A fresh machine in the middle of a test; what the test holds stays accounted.
  static void fresh_machine();
};

// True when the Windows build runs under Wine (some platform texts differ there).
bool running_under_wine();

}  // namespace tavo::testing
