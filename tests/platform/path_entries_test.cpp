#include "path_grant/path_entries.h"

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/machine.h"

namespace tavo {
namespace {

class PathEntries : public testing::MachineTest {};

TEST_F(PathEntries, PathIsSplitAtEverySemicolon) {
  testing::ScopedEnv path("PATH", "C:\\a;;C:\\b\\;");
  EXPECT_EQ(path_entries(), (std::vector<std::string>{"C:\\a", "", "C:\\b\\", ""}));
  testing::set_env("PATH", "");
  EXPECT_EQ(path_entries(), std::vector<std::string>{""});
  testing::set_env("PATH", std::nullopt);
  EXPECT_EQ(path_entries(), std::vector<std::string>{""});
}

// One key for every case and trailing backslashes, with full Unicode lower-casing.
TEST(PathDirectories, TrailingBackslashesGoWholeAndKeysIgnoreCase) {
  EXPECT_EQ(directory_string("C:\\Tools\\\\\\"), "C:\\Tools");
  EXPECT_EQ(directory_string("\\\\"), "");
  EXPECT_EQ(directory_string("/usr/bin/"), "/usr/bin/");
  EXPECT_EQ(path_dir_key("C:\\Tools\\\\"), "c:\\tools");
  EXPECT_EQ(path_dir_key("C:\\\xC3\x9C"
                         "BER"),
            path_dir_key("c:\\\xC3\xBC"
                         "ber\\"));
  EXPECT_EQ(path_dir_key("D:\\\xCE\x91\xCE\xA3\\"), "d:\\\xCE\xB1\xCF\x82");  // final sigma
}

TEST(PathDirectories, OnlyRootedDirectoriesCount) {
  for (std::string_view rooted : {"\\Tools", "\\\\server\\share\\bin", "/usr/bin", "C:\\Tools",
                                  "c:/tools", "\\\\?\\C:\\Tools"}) {
    EXPECT_TRUE(is_rooted_directory(rooted)) << rooted;
  }
  for (std::string_view relative : {"", ".", "bin", "..\\bin", "C:", "C:bin", "1:\\x", "CC:\\x"})
    EXPECT_FALSE(is_rooted_directory(relative)) << relative;
}

}  // namespace
}  // namespace tavo
