#include "pool_version.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/machine.h"
#include "support/temp_dir.h"
#include "win/path.h"

namespace tavo {
namespace {

class PoolVersion : public testing::MachineTest {
 protected:
  testing::TempDir pool;
  void marker(std::string_view content) { pool.write(".registration-version", content); }
};

TEST_F(PoolVersion, WrittenMarkerIsCurrent) {
  EXPECT_FALSE(check_pool_version(pool.path()));
  ASSERT_TRUE(write_pool_version(pool.path()));
  EXPECT_EQ(pool.read(".registration-version"), "1\n");
  EXPECT_TRUE(check_pool_version(pool.path()));
}

TEST_F(PoolVersion, MarkerContentDecides) {
  for (const char* current : {"1\n", "1", "+1", " 1 ", "1\r\n", "2"}) {
    marker(current);
    EXPECT_TRUE(check_pool_version(pool.path())) << current;
  }
  for (const char* stale : {"0", "-1", "x1", "", "1 1", "4294967296",
                            "\xEF\xBB\xBF"
                            "1"}) {
    marker(stale);
    EXPECT_FALSE(check_pool_version(pool.path())) << stale;
  }
  marker("\xFF\xFE");  // not UTF-8
  EXPECT_FALSE(check_pool_version(pool.path()));
  EXPECT_FALSE(check_pool_version(pool / "missing"));
}

TEST_F(PoolVersion, WritingIntoAMissingDirectoryFails) {
  auto written = write_pool_version(pool / "missing");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().os_error(), 3u);
}

TEST_F(PoolVersion, ClearingRemovesOnlyDatFiles) {
  for (const char* name : {"b.dat", "x.tar.dat", "a.DAT", ".dat", "notes.txt"})
    pool.write(name, "");
  marker("1\n");
  pool.make_dir("cache.dat");
  testing::LogCapture log;
  clear_pool_dats(pool.path());
  EXPECT_FALSE(pool.exists("b.dat"));
  EXPECT_FALSE(pool.exists("x.tar.dat"));
  for (const char* kept : {"a.DAT", ".dat", "notes.txt", ".registration-version", "cache.dat"}) {
    EXPECT_TRUE(pool.exists(kept)) << kept;
  }
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "[WARN  tavo_sandbox::pool_version] clear_pool_dats: failed to remove " +
                path::join(pool.path(), "cache.dat") + ": " +
                IoError::from_win32(ERROR_ACCESS_DENIED).display() + "\n");
}

TEST_F(PoolVersion, ClearingAMissingDirectoryIsSilent) {
  testing::LogCapture log;
  clear_pool_dats(pool / "missing");
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tavo
