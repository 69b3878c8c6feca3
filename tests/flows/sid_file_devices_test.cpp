// SID files that are not files: a device that never ends and a FIFO that no one writes must be
// refused at once, before a byte is read, and a large file without reading it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <winsim/testing.h>

#include "sandbox_profile/sid.h"
#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class SidFileDevices : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(SidFileDevices, DevicesAndPipesAreNamedAndNotRead) {
  EXPECT_EQ(read_sid_file("/dev/zero").error(),
            "network sid file '/dev/zero': a character device, not a regular file");
  const std::string fifo = dir / "fifo.sid";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(read_sid_file(fifo).error(),
            "network sid file '" + fifo + "': a pipe, not a regular file");
  dir.write("big.sid", std::string(5000, ' '));
  EXPECT_FALSE(read_sid_file(dir / "big.sid").has_value());
  EXPECT_EQ(winsim::count_calls("ReadFile"), 0u);
}

}  // namespace
}  // namespace tavo
