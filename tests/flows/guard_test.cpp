// The system-path guard with paths resolved on winsim's mapped drive: whatever way a path is
// typed, a protected directory is refused, and only a protected one.
#include <gtest/gtest.h>

#include <filesystem>

#include "acl/path_blocklist.h"
#include "flows/drives.h"
#include "support/machine.h"

namespace tavo {
namespace {

class Guard : public testing::MachineTest {};

TEST_F(Guard, ResolvedFormsOfProtectedDirectoriesAreRefusedAndOnlyThose) {
  testing::Drives drives;
  drives.make_dirs({"C:\\Windows\\System32", "C:\\Program Files\\App", "C:\\Program Files (x86)",
                    "C:\\ProgramData", "C:\\Temp", "C:\\Users\\me\\proj"});
  std::filesystem::create_directory_symlink(drives.host("C:\\Windows"),
                                            drives.host("C:\\Users\\me\\win"));
  // 8.3 names count in name order: PROGRA~1, ~2 and ~3 are Program Files, its (x86) and
  // ProgramData; the text alone names no system path.
  for (const char* path : {"C:\\PROGRA~1", "c:\\progra~2\\", "C:\\PROGRA~3", "C:\\PROGRA~1\\App",
                           "C:\\Temp\\..\\Program Files\\App", "C:\\Users\\me\\win\\System32"}) {
    EXPECT_FALSE(is_system_path(path)) << path;
    EXPECT_TRUE(is_refused_path(path)) << path;
  }
  for (const char* path : {"C:\\Users\\me\\proj", "C:\\Users\\me\\missing\\x", "D:\\Windows",
                           "C:\\Temp\\..\\Users", "C:\\Windows.old", "C:\\PROGRA~4"}) {
    EXPECT_FALSE(is_refused_path(path)) << path;
  }
  {
    testing::CurrentDirectory in_c_root(drives.host("C:\\"));
    for (const char* relative : {"Windows", ".", "C:Windows", "Temp\\..\\Windows"})
      EXPECT_TRUE(is_refused_path(relative)) << relative;
  }
  testing::CurrentDirectory in_project(drives.host("C:\\Users\\me\\proj"));
  for (const char* relative : {"src", ".", "D:Windows"})
    EXPECT_FALSE(is_refused_path(relative)) << relative;
}

}  // namespace
}  // namespace tavo
