#include "win/error.h"

#include <gtest/gtest.h>

#include "support/machine.h"

namespace tavo {
namespace {

class ErrorDisplay : public testing::MachineTest {
 protected:
  // Windows' English texts; Wine words its own, so there only their presence is checked.
  static void expect_system_text(std::uint32_t code, const std::string& text) {
    if (testing::running_under_wine()) {
      EXPECT_TRUE(system_message(code).has_value()) << code;
    } else {
      EXPECT_EQ(system_message(code), text) << code;
    }
  }
};

TEST_F(ErrorDisplay, Win32CodesBecomeHresults) {
  EXPECT_EQ(HresultError::from_win32(0).code(), 0u);
  EXPECT_EQ(HresultError::from_win32(5).code(), 0x80070005u);
  EXPECT_EQ(HresultError::from_win32(0x12345).code(), 0x80072345u);
  EXPECT_EQ(HresultError::from_win32(0xC0000005).code(), 0xC0000005u);
  SetLastError(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(HresultError::from_last_error().code(), 0x80070003u);
}

TEST_F(ErrorDisplay, ShowsTheSystemTextThenTheCode) {
  EXPECT_EQ(HresultError::from_win32(5).display(), *system_message(5) + " (0x80070005)");
  expect_system_text(5, "Access is denied.");
  expect_system_text(0x80070005, "Access is denied.");
  EXPECT_EQ(HresultError(0).display(), *system_message(0) + " (0x00000000)");
  expect_system_text(0, "The operation completed successfully.");
  // A code without system text shows the code alone.
  EXPECT_EQ(HresultError(0x2345ABCD).display(), "0x2345ABCD");
  // The program's own message wins over the system's.
  EXPECT_EQ(
      HresultError(0, "loopback exemption set failed after 2 attempts (concurrent race)").display(),
      "loopback exemption set failed after 2 attempts (concurrent race) (0x00000000)");
  EXPECT_EQ(HresultError(0xFFFFFFFF, "GetFileSecurityW returned needed=0").display(),
            "GetFileSecurityW returned needed=0 (0xFFFFFFFF)");
}

TEST_F(ErrorDisplay, NtStatusCodesReadNtdllsTable) {
  if (testing::running_under_wine()) GTEST_SKIP() << "Wine's ntdll.dll has no message table";
  EXPECT_EQ(HresultError(0xD000013A).display(),
            "{Application Exit by CTRL+C}\r\nThe application terminated as a result of a "
            "CTRL+C. (0xD000013A)");
  EXPECT_EQ(HresultError(0xD0000005).display(),
            "The instruction at 0x%p referenced memory at 0x%p. The memory could not be %s. "
            "(0xD0000005)");
}

TEST_F(ErrorDisplay, IoErrorsNameTheOsError) {
  EXPECT_EQ(IoError::from_win32(5).display(), *system_message(5) + " (os error 5)");
  EXPECT_EQ(IoError::from_win32(3).display(), *system_message(3) + " (os error 3)");
  EXPECT_EQ(IoError::invalid_utf8().display(), "stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace tavo
