// winsim's path names: 8.3 short names, full paths and final paths of open objects.
#include <gtest/gtest.h>
#include <unistd.h>
#include <winsim/testing.h>

#include <filesystem>

#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

// Runs the rest of a test with the host's current directory moved, and moves it back.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path)
      : saved_(testing::utf8(std::filesystem::current_path())) {
    std::filesystem::current_path(path);
  }
  ~ScopedCurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::string saved_;
};

// The text of a call that follows the buffer protocol: the size query first, then the call
// with exactly that size. "error N" when either fails.
template <class Call>
std::string through_size_query(Call call) {
  DWORD needed = call(nullptr, 0);
  if (needed == 0) return "error " + std::to_string(GetLastError());
  std::vector<WCHAR> buffer(needed);
  DWORD written = call(buffer.data(), needed);
  if (written != needed - 1) return "unexpected length " + std::to_string(written);
  return from_wide_lossy(WideView(buffer.data(), written));
}

std::string long_path(const std::string& path) {
  return through_size_query([&](LPWSTR buffer, DWORD size) {
    return GetLongPathNameW(to_wide_nul(path).c_str(), buffer, size);
  });
}

std::string full_path(const std::string& path) {
  return through_size_query([&](LPWSTR buffer, DWORD size) {
    return GetFullPathNameW(to_wide_nul(path).c_str(), size, buffer, nullptr);
  });
}

std::string final_path(HANDLE file) {
  return through_size_query([&](LPWSTR buffer, DWORD size) {
    return GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
}

class WinsimPathNames : public testing::MachineTest {
 protected:
  testing::TempDir root;
  testing::ScopedEnv mapped{"WINSIM_ROOT", root.path()};
};

TEST_F(WinsimPathNames, ShortNamesExpandToTheNthLongNameThatAbbreviatesToThem) {
  root.make_dir("c/Program Files");
  root.make_dir("c/Program Files (x86)");
  root.make_dir("c/ProgramData");
  root.write("c/Program Files/My Document.txt", "x");
  root.write("c/abc.txt", "x");
  root.make_dir("c/keep~1");

  EXPECT_EQ(long_path("C:\\PROGRA~1"), "C:\\Program Files");
  EXPECT_EQ(long_path("c:\\progra~2\\"), "c:\\Program Files (x86)\\");
  EXPECT_EQ(long_path("C:\\PROGRA~3"), "C:\\ProgramData");
  EXPECT_EQ(long_path("C:/PROGRA~1/MYDOCU~1.TXT"), "C:/Program Files/My Document.txt");
  EXPECT_EQ(long_path("C:\\keep~1"), "C:\\keep~1");  // exists as typed
  EXPECT_EQ(long_path(root / "c/Program Files"), root / "c/Program Files");

  EXPECT_EQ(long_path("C:\\PROGRA~4"), "error 2");
  EXPECT_EQ(long_path("C:\\ABC~1.TXT"), "error 2");  // a name that fits 8.3 has no short name
  EXPECT_EQ(long_path("C:\\PROGRA~4\\x"), "error 3");
  EXPECT_EQ(long_path("C:\\Program Files\\missing"), "error 2");
  EXPECT_EQ(long_path("D:\\"), "error 3");
}

TEST_F(WinsimPathNames, BuffersTooSmallGetTheSizeNeeded) {
  root.make_dir("c/Program Files");
  WCHAR small[4];
  EXPECT_EQ(GetLongPathNameW(to_wide_nul("C:\\PROGRA~1").c_str(), small, 4), 17u);
  EXPECT_EQ(GetLongPathNameW(to_wide_nul("C:\\PROGRA~1").c_str(), small, 0), 17u);
  std::vector<WCHAR> exact(7);
  EXPECT_EQ(GetFullPathNameW(to_wide_nul("C:\\a\\b").c_str(), 6, exact.data(), nullptr), 7u);
  LPWSTR name = nullptr;
  EXPECT_EQ(GetFullPathNameW(to_wide_nul("C:\\a\\b").c_str(), 7, exact.data(), &name), 6u);
  EXPECT_EQ(name, exact.data() + 5);
}

TEST_F(WinsimPathNames, FullPathsResolveDotsAndSeparators) {
  EXPECT_EQ(full_path("C:\\Temp\\..\\Windows"), "C:\\Windows");
  EXPECT_EQ(full_path("C:\\\\Windows"), "C:\\Windows");
  EXPECT_EQ(full_path("c:/a/./b//c/"), "C:\\a\\b\\c\\");
  EXPECT_EQ(full_path("C:\\..\\.."), "C:\\");
  EXPECT_EQ(full_path("\\\\?\\C:\\a\\..\\b"), "\\\\?\\C:\\a\\..\\b");  // taken literally
  EXPECT_EQ(full_path("/etc/../usr//lib"), "/usr/lib");
  EXPECT_EQ(full_path("\\etc\\passwd"), "/etc/passwd");

  root.make_dir("c/work");
  {
    ScopedCurrentDirectory cd(root / "c");
    EXPECT_EQ(full_path("Windows"), "C:\\Windows");
    EXPECT_EQ(full_path("work\\..\\..\\Windows"), "C:\\Windows");
    EXPECT_EQ(full_path("C:Windows"), "C:\\Windows");
    EXPECT_EQ(full_path("D:Windows"), "D:\\Windows");
  }
  {
    ScopedCurrentDirectory cd(root / "c/work");
    EXPECT_EQ(full_path("C:x"), "C:\\work\\x");
  }
  ScopedCurrentDirectory cd(root.path());
  EXPECT_EQ(full_path("a/../b"), root / "b");
  EXPECT_EQ(full_path(""), "error 123");
}

TEST_F(WinsimPathNames, FinalPathsFollowLinks) {
  root.write("c/real/f.txt", "x");
  std::filesystem::create_directory_symlink(root / "c/real", root / "c/link");
  unique_handle file(CreateFileW(to_wide_nul("C:\\link\\f.txt").c_str(), GENERIC_READ, 3, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  EXPECT_EQ(final_path(file.get()), "\\\\?\\C:\\real\\f.txt");
  unique_handle directory(CreateFileW(to_wide_nul("C:\\link").c_str(), 0, 3, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(directory);
  EXPECT_EQ(final_path(directory.get()), "\\\\?\\C:\\real");
  EXPECT_EQ(winsim::count_calls("GetFinalPathNameByHandleW", "link"), 4u);

  testing::TempDir outside;
  outside.write("g.txt", "x");
  unique_handle host(CreateFileW(to_wide_nul(outside / "g.txt").c_str(), GENERIC_READ, 3, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(final_path(host.get()), testing::utf8(std::filesystem::canonical(outside / "g.txt")));

  unique_handle nul(
      CreateFileW(to_wide_nul("NUL").c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(final_path(nul.get()), "error 1");
}

}  // namespace
}  // namespace tavo
