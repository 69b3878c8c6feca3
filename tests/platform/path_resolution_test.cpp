// The path calls the system-path guard resolves with, and the guard itself, on real files: under
// Wine the platform's own implementation checks what winsim models.
#include <gtest/gtest.h>

#include <filesystem>

#include "acl/path_blocklist.h"
#include "support/current_directory.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/api.h"
#include "win/path_names.h"
#include "win/wide.h"

namespace tavo {
namespace {

class PathResolution : public testing::MachineTest {
 protected:
  static std::string full(const std::string& path) {
    return full_path_name(path).value_or("(none: " + path + ")");
  }
  static std::string final(const std::string& path) {
    return final_path_name(path).value_or("(none: " + path + ")");
  }

  testing::TempDir dir;
};

// Each spelling names what its plain form names: "." and ".." are resolved on the text and never
// above the root, separators of either kind collapse, and the last component loses its trailing
// dots and spaces (an inner one a single trailing dot).
TEST_F(PathResolution, FullPathsAreWorkedOutOnTheText) {
  dir.make_dir("a");
  const std::string plain_b = full(dir / "b");
  const std::string plain_ab = full(dir / "a/b");
  for (const char* spelling : {"a\\..\\b", ".\\b", "b.", "b ", "b. .", "a\\.\\..\\b\\."}) {
    EXPECT_EQ(full(dir / spelling), plain_b) << spelling;
  }
  for (const char* spelling : {"a\\\\b", "a//b", "a.\\b", "a\\b\\c\\.."})
    EXPECT_EQ(full(dir / spelling), plain_ab) << spelling;
  // An inner name keeps a second trailing dot, and a trailing space. Wine drops one of the two
  // dots, as Windows did before Vista.
  const std::string base = plain_b.substr(0, plain_b.size() - 1);  // up to the separator
  for (const std::string kept : {"a..", "a. "}) {
    if (kept == "a.." && testing::running_under_wine()) continue;
    EXPECT_EQ(full(dir / (kept + "\\b")), base + kept + base.back() + "b") << kept;
  }
  EXPECT_EQ(full("C:\\.."), "C:\\");
  EXPECT_EQ(full("C:\\..\\..\\Windows."), "C:\\Windows");
  testing::CurrentDirectory in(dir / "a");
  EXPECT_EQ(full("b"), plain_ab);
  EXPECT_EQ(full("..\\b"), plain_b);
}

// A link is followed where it stands once ".." has been resolved: rel\.. is the directory that
// holds the link, not the one above its target.
TEST_F(PathResolution, DotDotTakesAwayALinksNameNotItsTarget) {
  dir.make_dir("proj");
  dir.make_dir("elsewhere/target");
#if defined(_WIN32)
  // The C++ library here makes no links on Windows; the platform call does, where it can.
  if (!CreateSymbolicLinkW(
          to_wide_nul(dir / "proj\\rel").c_str(), to_wide_nul(dir / "elsewhere\\target").c_str(),
          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    GTEST_SKIP() << "no link can be made here: error " << GetLastError();
  }
#else
  std::filesystem::create_directory_symlink(dir / "elsewhere/target", dir / "proj/rel");
#endif
  // Wine 8 makes the link but cannot open it.
  if (!final_path_name(dir / "proj\\rel")) GTEST_SKIP() << "a link made here cannot be followed";
  EXPECT_EQ(final(dir / "proj\\rel"), final(dir / "elsewhere/target"));
  EXPECT_EQ(final(dir / "proj\\rel\\.."), final(dir / "proj"));
  EXPECT_EQ(final(dir / "proj\\rel\\..\\rel"), final(dir / "elsewhere/target"));
}

// Shares, device paths and streams are refused as typed; other spellings of a system path once
// resolved; ordinary files however they are spelled pass.
TEST_F(PathResolution, TheGuardRefusesWhatResolvesToASystemPathOrBeyondADrive) {
  dir.write("f", "");
  for (const std::string& path :
       {std::string("\\\\localhost\\C$\\Windows"), std::string("\\\\?\\UNC\\localhost\\C$"),
        std::string("\\\\.\\PhysicalDrive0"), std::string("\\\\?\\GLOBALROOT\\Device\\Null"),
        std::string("C:\\Windows::$INDEX_ALLOCATION"), dir / "f" + ":ads",
        std::string("C:\\Windows."), std::string("C:\\Windows. "),
        std::string("C:\\Users\\..\\Windows"), std::string("C:\\\\Program Files\\")}) {
    EXPECT_TRUE(is_refused_path(path)) << path;
  }
  for (const std::string& path : {dir / "f", dir / "a\\..\\f", dir / "f.", dir.path()})
    EXPECT_FALSE(is_refused_path(path)) << path;
#if defined(_WIN32)
  EXPECT_FALSE(is_refused_path("\\\\?\\" + dir / "f"));
#endif
}

}  // namespace
}  // namespace tavo
