// What tells a console from a redirected standard handle. Built for both builds: under Wine, its
// own implementation checks winsim's.
#include <gtest/gtest.h>

#include "support/machine.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Console : public testing::MachineTest {};

// A pipe and the NUL device (a character device, as a console is) are no console: the console
// calls fail on them, so progress meant for a console never reaches captured output.
TEST_F(Console, APipeAndTheNulDeviceAreNoConsole) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
  unique_handle read_end(read);
  unique_handle write_end(write);
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

}  // namespace
}  // namespace tavo
