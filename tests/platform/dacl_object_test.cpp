// The object a DACL edit opens, through the platform's own handle calls: built for Windows too,
// so that under Wine the platform's implementation checks winsim's.
#include "acl/dacl_object.h"

#include <gtest/gtest.h>

#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class DaclObjects : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(DaclObjects, AnEditReadsItsObjectThroughTheHandleAndKnowsWhatItIs) {
  dir.make_dir("d");
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
}

// A missing object fails at the open with the codes cleanup tells "no longer exists" by.
TEST_F(DaclObjects, AMissingObjectFailsAsTheNamedCallsDid) {
  const auto missing = DaclObject::open(dir / "missing", "x", GuardRule::SystemPathsRefused);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), 0x80070002u);
  const auto no_parent =
      DaclObject::open(dir / "no\\such\\thing", "x", GuardRule::SystemPathsRefused);
  ASSERT_FALSE(no_parent);
  EXPECT_EQ(no_parent.error().code(), 0x80070003u);
}

}  // namespace
}  // namespace tavo
