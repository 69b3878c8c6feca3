// Files through the program's own calls, and the object a DACL edit opens through the platform's
// handle calls: under Wine, the platform's implementation checks winsim's.
#include <gtest/gtest.h>

#include <algorithm>

#include "acl/dacl_object.h"
#include "sandbox_profile/pool_version.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/fs.h"

namespace tavo {
namespace {

class Files : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

std::optional<std::uint32_t> os_error_of(const auto& result) {
  return result ? std::nullopt : result.error().os_error();
}

TEST_F(Files, WholeFilesAndFoldersAndTheirFailuresWin32Codes) {
  const std::string file = dir / "a.txt";
  ASSERT_TRUE(fs::write_file(file, "first, longer content"));
  ASSERT_TRUE(fs::write_file(file, "S-1-15-2-1\n"));  // truncates
  EXPECT_EQ(fs::read_text_file(file), "S-1-15-2-1\n");
  dir.write("utf16.txt", std::string("\xFF\xFEs\0-\0", 6));
  EXPECT_EQ(fs::read_text_file(dir / "utf16.txt").error(), IoError::invalid_utf8());
  ASSERT_TRUE(fs::create_dir_all(dir / "d\\e\\f"));
  EXPECT_TRUE(fs::create_dir_all(dir / "d\\e"));
  EXPECT_TRUE(fs::is_dir(dir / "d\\e\\f"));
  EXPECT_FALSE(fs::is_dir(file));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_FALSE(fs::exists(dir / "nothing"));
  auto names = fs::list_dir(dir.path());
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"a.txt", "d", "utf16.txt"}));
  EXPECT_EQ(fs::list_dir(dir / "d\\e\\f").value(), std::vector<std::string>{});

  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "missing.txt")), 2u);
  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "no\\such\\dir.txt")), 3u);
  EXPECT_EQ(os_error_of(fs::write_file(dir / "no\\such\\dir.txt", "x")), 3u);
  EXPECT_EQ(os_error_of(fs::remove_file(dir / "missing.txt")), 2u);
  EXPECT_EQ(os_error_of(fs::remove_file(dir / "d")), 5u);
  EXPECT_EQ(os_error_of(fs::list_dir(dir / "missing")), 3u);
  EXPECT_EQ(os_error_of(fs::create_dir_all(file)), 183u);
  EXPECT_FALSE(fs::create_dir_all(file + "\\below").has_value());
}

// Only a plain file is removed through its handle; anything else stays where it is.
TEST_F(Files, RemovingARegularFileLeavesOtherKindsAlone) {
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

// The marker is current when it holds this version or a later one, white space around it
// allowed; anything else, a missing marker included, calls for a new registration.
TEST_F(Files, ThePoolMarkersNumberDecides) {
  EXPECT_FALSE(check_pool_version(dir.path()));
  ASSERT_TRUE(write_pool_version(dir.path()));
  EXPECT_EQ(dir.read(".registration-version"), "1\n");
  EXPECT_TRUE(check_pool_version(dir.path()));
  EXPECT_EQ(write_pool_version(dir / "missing").error().os_error(), 3u);
  for (const char* current : {"1", "+1", " 1 ", "1\r\n", "2"}) {
    dir.write(".registration-version", current);
    EXPECT_TRUE(check_pool_version(dir.path())) << current;
  }
  for (const char* stale : {"0", "-1", "x1", "", "1 1", "4294967296",
                            "\xEF\xBB\xBF"
                            "1",
                            "\xFF\xFE"}) {
    dir.write(".registration-version", stale);
    EXPECT_FALSE(check_pool_version(dir.path())) << stale;
  }
}

// An edit reads its object through the handle (the DACL, and the whole descriptor after a size
// query) and knows a folder from a file; a missing object fails at the open with the codes
// cleanup tells "no longer exists" by.
TEST_F(Files, AnEditReadsItsObjectThroughTheHandle) {
  dir.write("d/f.txt", "x");
  auto directory = DaclObject::open(dir / "d", "typed", GuardRule::SystemPathsRefused);
  ASSERT_TRUE(directory) << directory.error().display();
  EXPECT_TRUE(directory->final_path().ends_with("d")) << directory->final_path();
  EXPECT_EQ(directory->is_directory(), true);
  auto dacl = directory->read_dacl();
  ASSERT_TRUE(dacl) << dacl.error().display();
  EXPECT_NE(dacl->dacl, nullptr);
  auto security = directory->read_security();
  ASSERT_TRUE(security) << security.error().display();
  EXPECT_GE(security->length, 20u);
  auto file = DaclObject::open(dir / "d/f.txt", "typed", GuardRule::SystemPathsRefused);
  ASSERT_TRUE(file) << file.error().display();
  EXPECT_EQ(file->is_directory(), false);

  for (const auto& [path, code] :
       {std::pair{dir / "missing", 0x80070002u}, std::pair{dir / "no\\such\\thing", 0x80070003u}}) {
    const auto missing = DaclObject::open(path, "x", GuardRule::SystemPathsRefused);
    ASSERT_FALSE(missing) << path;
    EXPECT_EQ(missing.error().code(), code) << path;
  }
}

}  // namespace
}  // namespace tavo
