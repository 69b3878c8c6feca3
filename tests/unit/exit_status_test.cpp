#include "runtime/exit_status.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

TEST(CommandExitStatus, LowByteButNeverASuccessForAFailure) {
  EXPECT_EQ(command_exit_status(0), 0);
  EXPECT_EQ(command_exit_status(3), 3);
  EXPECT_EQ(command_exit_status(255), 255);
  EXPECT_EQ(command_exit_status(300), 44);
  // A failing code whose low byte is zero must not read as success.
  EXPECT_EQ(command_exit_status(256), 1);
  EXPECT_EQ(command_exit_status(512), 1);
  EXPECT_EQ(command_exit_status(0x7FFFFF00u), 1);
  EXPECT_EQ(command_exit_status(0x7FFFFFFFu), 255);
  EXPECT_EQ(command_exit_status(0x80000000u), kStatusLaunch);
  EXPECT_EQ(command_exit_status(0xC0000005u), kStatusLaunch);
  EXPECT_EQ(command_exit_status(0xFFFFFFFFu), kStatusLaunch);
}

}  // namespace
}  // namespace tavo
