#include "win/fs.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class FileOperations : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

std::optional<std::uint32_t> os_error_of(const auto& result) {
  return result ? std::nullopt : result.error().os_error();
}

TEST_F(FileOperations, ReadAndWriteWholeFiles) {
  const std::string file = dir / "a.txt";
  ASSERT_TRUE(fs::write_file(file, "first, longer content"));
  ASSERT_TRUE(fs::write_file(file, "S-1-15-2-1\n"));  // truncates
  EXPECT_EQ(fs::read_text_file(file), "S-1-15-2-1\n");
  EXPECT_EQ(dir.read("a.txt"), "S-1-15-2-1\n");
  dir.write("utf16.txt", std::string("\xFF\xFEs\0-\0", 6));
  EXPECT_EQ(fs::read_text_file(dir / "utf16.txt").error(), IoError::invalid_utf8());
}

TEST_F(FileOperations, FailuresCarryTheirWin32Codes) {
  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "missing.txt")), 2u);
  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "no\\such\\dir.txt")), 3u);
  EXPECT_EQ(os_error_of(fs::write_file(dir / "no\\such\\dir.txt", "x")), 3u);
  EXPECT_EQ(os_error_of(fs::remove_file(dir / "missing.txt")), 2u);
  dir.make_dir("sub");
  EXPECT_EQ(os_error_of(fs::remove_file(dir / "sub")), 5u);
  EXPECT_EQ(os_error_of(fs::list_dir(dir / "missing")), 3u);
}

// Only a plain file is removed through its handle; anything else stays where it is.
TEST_F(FileOperations, RemovingARegularFileLeavesOtherKindsAlone) {
  dir.write("old.dat", "x");
  ASSERT_TRUE(fs::remove_regular_file(dir / "old.dat"));
  EXPECT_FALSE(dir.exists("old.dat"));
  dir.make_dir("cache.dat");
  auto refused = fs::remove_regular_file(dir / "cache.dat");
  ASSERT_FALSE(refused);
  ASSERT_TRUE(std::holds_alternative<fs::NotARegularFile>(refused.error()));
  EXPECT_EQ(std::get<fs::NotARegularFile>(refused.error()).what, "a directory");
  EXPECT_TRUE(dir.exists("cache.dat"));
  refused = fs::remove_regular_file(dir / "missing.dat");
  ASSERT_FALSE(refused);
  EXPECT_EQ(std::get<IoError>(refused.error()), IoError::from_win32(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileOperations, CreateDirAllMakesTheChainAndAcceptsExistingDirectories) {
  ASSERT_TRUE(fs::create_dir_all(dir / "a\\b\\c"));
  EXPECT_TRUE(fs::is_dir(dir / "a\\b\\c"));
  EXPECT_TRUE(fs::create_dir_all(dir / "a\\b"));
  dir.write("file", "x");
  EXPECT_EQ(os_error_of(fs::create_dir_all(dir / "file")), 183u);
  EXPECT_FALSE(fs::create_dir_all(dir / "file\\below").has_value());
}

TEST_F(FileOperations, ListingNamesEntriesWithoutDots) {
  dir.write("b.dat", "");
  dir.write("a.txt", "");
  dir.make_dir("sub");
  auto names = fs::list_dir(dir.path());
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"a.txt", "b.dat", "sub"}));
  dir.make_dir("empty");
  EXPECT_EQ(fs::list_dir(dir / "empty").value(), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(dir / "a.txt"));
  EXPECT_FALSE(fs::is_dir(dir / "a.txt"));
  EXPECT_FALSE(fs::exists(dir / "nothing"));
}

}  // namespace
}  // namespace tavo
