#include "sandbox_profile/pool_version.h"

#include <gtest/gtest.h>

#include "support/machine.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class PoolVersion : public testing::MachineTest {
 protected:
  testing::TempDir pool;
};

TEST_F(PoolVersion, AWrittenMarkerIsCurrent) {
  EXPECT_FALSE(check_pool_version(pool.path()));
  ASSERT_TRUE(write_pool_version(pool.path()));
  EXPECT_EQ(pool.read(".registration-version"), "1\n");
  EXPECT_TRUE(check_pool_version(pool.path()));
  EXPECT_EQ(write_pool_version(pool / "missing").error().os_error(), 3u);
}

TEST_F(PoolVersion, TheMarkersNumberDecides) {
  for (const char* current : {"1\n", "1", "+1", " 1 ", "1\r\n", "2"}) {
    pool.write(".registration-version", current);
    EXPECT_TRUE(check_pool_version(pool.path())) << current;
  }
  for (const char* stale : {"0", "-1", "x1", "", "1 1", "4294967296",
                            "\xEF\xBB\xBF"
                            "1",
                            "\xFF\xFE"}) {
    pool.write(".registration-version", stale);
    EXPECT_FALSE(check_pool_version(pool.path())) << stale;
  }
  EXPECT_FALSE(check_pool_version(pool / "missing"));
}

}  // namespace
}  // namespace tavo
