// winsim's own contracts: the ones the program relies on and the test facilities.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class Winsim : public testing::MachineTest {};

TEST_F(Winsim, TracesCallsWithTheirKeyArgument) {
  testing::TempDir dir;
  const std::string path = dir / "x.txt";
  EXPECT_EQ(GetFileAttributesW(to_wide_nul(path).c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_FALSE(winsim::trace().empty());
  EXPECT_EQ(winsim::trace().back().function, "GetFileAttributesW");
  EXPECT_EQ(winsim::trace().back().key, path);
  EXPECT_EQ(winsim::count_calls("GetFileAttributesW", "x.txt"), 1u);
}

TEST_F(Winsim, FaultsFailTheChosenCallTheWayThePlatformReportsFailure) {
  testing::TempDir dir;
  dir.write("a.txt", "x");
  const WideString path = to_wide_nul(dir / "a.txt");

  winsim::fail_next_call("GetFileAttributesW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);  // once only

  winsim::fail_call_number(2, ERROR_ACCESS_DENIED);
  EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  winsim::fail_every_call("DeleteFileW", "a.txt", ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  winsim::clear_faults();
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST_F(Winsim, AccountingCatchesLeaksAndWrongReleases) {
  HLOCAL block = LocalAlloc(LPTR, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(winsim::leaks().size(), 1u);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_TRUE(winsim::leaks().empty());
  EXPECT_NE(LocalFree(block), nullptr);  // twice
  ASSERT_EQ(winsim::release_errors().size(), 1u);
  winsim::reset();

  testing::TempDir dir;
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW(to_wide_nul(dir / "*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  CloseHandle(find);  // a search is closed with FindClose
  ASSERT_EQ(winsim::release_errors().size(), 1u);
  EXPECT_NE(winsim::release_errors()[0].find("must be released with FindClose"), std::string::npos);
  winsim::reset();
}

TEST_F(Winsim, FormatMessageFollowsTheBufferProtocol) {
  WCHAR small[4];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                           0, small, 4, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  WCHAR buffer[64];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                           0, buffer, 64, nullptr);
  EXPECT_EQ(from_wide_lossy(WideView(buffer, n)), "Access is denied.\r\n");
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x2345ABCD, 0, buffer, 64, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST_F(Winsim, DrivePathsMapBelowTheRoot) {
  testing::TempDir root;
  testing::ScopedEnv mapped("WINSIM_ROOT", root.path());
  root.make_dir("c/Users");
  EXPECT_TRUE(CreateDirectoryW(to_wide_nul("C:\\Users\\ann").c_str(), nullptr));
  EXPECT_TRUE(root.exists("c/Users/ann"));
  EXPECT_NE(GetFileAttributesW(to_wide_nul("\\\\?\\C:\\Users\\ann").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(CreateDirectoryW(to_wide_nul("C:\\Missing\\ann").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  testing::set_env("WINSIM_ROOT", std::nullopt);
  EXPECT_EQ(GetFileAttributesW(to_wide_nul("C:\\Users").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Winsim, PersistentFaultsComeFromTheStateFile) {
  testing::TempDir dir;
  dir.write("state", "winsim-state 1\nfault\tDeleteFileW\tkeep.txt\t32\n");
  testing::ScopedEnv state("WINSIM_STATE", dir / "state");
  winsim::reset();  // the next call loads the file
  dir.write("keep.txt", "x");
  EXPECT_FALSE(DeleteFileW(to_wide_nul(dir / "keep.txt").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  winsim::fail_next_call("GetFileAttributesW", "", 5);  // one-shot faults are not persisted
  winsim::fail_every_call("DeleteFileW", "other", 5);
  EXPECT_EQ(dir.read("state"),
            "winsim-state 1\n"
            "fault\tDeleteFileW\tkeep.txt\t32\n"
            "fault\tDeleteFileW\tother\t5\n");
  winsim::reset();
}

TEST_F(Winsim, EnvironmentValuesThatAreNotUnicodeReadBackAsLoneSurrogates) {
  ::setenv("TAVO_TEST_BYTES", "a\xFF", 1);
  WCHAR buffer[8];
  DWORD n = GetEnvironmentVariableW(to_wide_nul("TAVO_TEST_BYTES").c_str(), buffer, 8);
  ASSERT_EQ(n, 2u);
  EXPECT_FALSE(from_wide(WideView(buffer, n)).has_value());
  ::unsetenv("TAVO_TEST_BYTES");
}

}  // namespace
}  // namespace tavo
