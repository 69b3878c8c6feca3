// The console, the environment, error texts and owners' releases as the program meets them: under
// Wine, its own implementation checks winsim's.
#include <gtest/gtest.h>

#include "path_grant/path_entries.h"
#include "support/env.h"
#include "support/machine.h"
#include "win/api.h"
#include "win/env.h"
#include "win/error.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Platform : public testing::MachineTest {};

// A pipe and the NUL device (a character device, as a console is) are no console: the console
// calls fail on them, so progress meant for a console never reaches captured output.
TEST_F(Platform, APipeAndTheNulDeviceAreNoConsole) {
  unique_handle read_end, write_end;
  ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), nullptr, 0));
  unique_handle nul(CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(nul.get(), INVALID_HANDLE_VALUE);
  for (HANDLE handle : {write_end.get(), nul.get()}) {
    DWORD mode = 0;
    SetLastError(0);
    EXPECT_FALSE(GetConsoleMode(handle, &mode));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD written = 0;
    EXPECT_FALSE(WriteConsoleW(handle, to_wide_nul("x").c_str(), 1, &written, nullptr));
  }
}

TEST_F(Platform, UnsetIsNotEmptyAndPathSplitsAtEverySemicolon) {
  testing::ScopedEnv value("TAVO_TEST_VALUE", std::string(300, 'v'));  // longer than a first guess
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), std::string(300, 'v'));
  testing::set_env("TAVO_TEST_VALUE", "C:\\Users\\\xC3\xA9");
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), "C:\\Users\\\xC3\xA9");
  testing::set_env("TAVO_TEST_VALUE", "");
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), "");
  testing::set_env("TAVO_TEST_VALUE", std::nullopt);
  EXPECT_EQ(env_var("TAVO_TEST_VALUE"), std::nullopt);

  testing::ScopedEnv path("PATH", "C:\\a;;C:\\b\\;");
  EXPECT_EQ(path_entries(), (std::vector<std::string>{"C:\\a", "", "C:\\b\\", ""}));
  testing::set_env("PATH", std::nullopt);
  EXPECT_EQ(path_entries(), std::vector<std::string>{""});
}

TEST_F(Platform, Win32CodesBecomeHresults) {
  EXPECT_EQ(HresultError::from_win32(0).code(), 0u);
  EXPECT_EQ(HresultError::from_win32(5).code(), 0x80070005u);
  EXPECT_EQ(HresultError::from_win32(0x12345).code(), 0x80072345u);
  EXPECT_EQ(HresultError::from_win32(0xC0000005).code(), 0xC0000005u);
  SetLastError(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(HresultError::from_last_error().code(), 0x80070003u);
}

// The system's text, then the code; the program's own message wins over the system's. Wine words
// its own texts, so there only their presence is checked.
TEST_F(Platform, ErrorsShowTheTextThenTheCode) {
  if (!testing::running_under_wine()) {
    EXPECT_EQ(system_message(0x80070005), "Access is denied.");
    EXPECT_EQ(HresultError(0xD000013A).display(),
              "{Application Exit by CTRL+C}\r\nThe application terminated as a result of a "
              "CTRL+C. (0xD000013A)");
  }
  ASSERT_TRUE(system_message(5).has_value());
  EXPECT_EQ(HresultError::from_win32(5).display(), *system_message(5) + " (0x80070005)");
  EXPECT_EQ(HresultError(0x2345ABCD).display(), "0x2345ABCD");
  EXPECT_EQ(HresultError(0, "set failed after 2 attempts").display(),
            "set failed after 2 attempts (0x00000000)");
  EXPECT_EQ(IoError::from_win32(3).display(), *system_message(3) + " (os error 3)");
}

// A release that fails, as CloseHandle does on a handle closed behind its owner's back.
struct FailingRelease {
  using pointer = int;
  static pointer invalid() { return 0; }
  static bool holds(pointer value) { return value != 0; }
  static void release(pointer) { SetLastError(ERROR_INVALID_HANDLE); }
};

// An owner that goes between a failed call and its report leaves the report alone.
TEST(Owners, AReleaseKeepsTheLastError) {
  UniqueResource<FailingRelease> owner(1);
  SetLastError(ERROR_FILE_NOT_FOUND);
  owner.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace tavo
