// The system-path guard with paths resolved on winsim's mapped drive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "path_blocklist.h"
#include "support/env.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

class Guard : public testing::MachineTest {
 protected:
  void SetUp() override {
    for (const char* d :
         {"c/Windows/System32", "c/Program Files/App", "c/Temp", "c/Users/me/proj"}) {
      root.make_dir(d);
    }
  }
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
};

// Runs with the host's current directory in `dir` for the length of a scope.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST_F(Guard, ResolvedFormsOfProtectedDirectoriesAreRefused) {
  for (const char* path : {"C:\\Temp\\..\\Windows", "C:\\\\Windows", "C:\\PROGRA~1",
                           "C:\\Temp\\..\\Program Files\\App", "C:\\Users\\..\\Windows"}) {
    EXPECT_FALSE(is_system_path(path)) << path;
    EXPECT_TRUE(is_refused_path(path)) << path;
  }
  InDirectory in_c_root(root / "c");
  EXPECT_TRUE(is_refused_path("Windows"));
  EXPECT_TRUE(is_refused_path("."));
}

TEST_F(Guard, LinksIntoProtectedDirectoriesAreRefused) {
  std::filesystem::create_directory_symlink(root / "c/Windows", root / "c/Users/me/win");
  EXPECT_TRUE(is_refused_path("C:\\Users\\me\\win"));
  EXPECT_TRUE(is_refused_path("C:\\Users\\me\\win\\System32"));
}

TEST_F(Guard, OrdinaryPathsPass) {
  for (const char* path : {"C:\\Users\\me\\proj", "C:\\Users\\me\\missing\\x", "D:\\Windows",
                           "C:\\Temp\\..\\Users", "C:\\Windows.old"}) {
    EXPECT_FALSE(is_refused_path(path)) << path;
  }
  InDirectory in_project(root / "c/Users/me/proj");
  EXPECT_FALSE(is_refused_path("src"));
  EXPECT_FALSE(is_refused_path("."));
}

}  // namespace
}  // namespace tavo
