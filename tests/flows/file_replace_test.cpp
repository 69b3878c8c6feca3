// Replacing a file in a held folder, where only winsim's trace shows the names it tries.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/file_replace.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

class FileReplace : public testing::MachineTest {
 protected:
  testing::TempDir dir;

  std::expected<void, IoError> replace(std::string_view bytes) const {
    auto folder = HeldFolder::open(dir.path());
    EXPECT_TRUE(folder) << (folder ? "" : folder.error());
    auto security = SddlDescriptor::parse("D:P(A;;FA;;;SY)");
    EXPECT_TRUE(security);
    return fs::replace_file_in(*folder, "f", bytes, *security);
  }
};

// A process never tries a temporary name twice: a file left under a name an earlier write used
// (its removal failed, or a gone process with the same id left it) does not stop the next write.
TEST_F(FileReplace, ATemporaryNameIsNeverTriedTwice) {
  ASSERT_TRUE(replace("1"));
  std::string used;
  for (const winsim::Call& call : winsim::trace())
    if (call.function == "CreateFileW" && call.key.ends_with(".tmp")) used = call.key;
  ASSERT_FALSE(used.empty());
  const unique_handle leftover(CreateFileW(to_wide_nul(used).c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(leftover);
  auto replaced = replace("2");
  ASSERT_TRUE(replaced) << replaced.error().display();
  EXPECT_EQ(dir.read("f"), "2");
}

}  // namespace
}  // namespace tavo
