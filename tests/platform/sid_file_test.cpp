#include <gtest/gtest.h>

#include "sandbox_profile/sid.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/path.h"

namespace tavo {
namespace {

class SidFiles : public testing::MachineTest {
 protected:
  testing::TempDir dir;
};

TEST_F(SidFiles, WrittenSidReadsBackEqual) {
  SandboxSid sid = testing::make_sid();
  auto sddl = sid_to_sddl(sid.get());
  ASSERT_TRUE(sddl);
  EXPECT_EQ(*sddl, testing::kTestSid);
  const std::string file = dir / "nested\\dirs\\profile.sid";
  ASSERT_TRUE(write_text_file(file, *sddl));
  EXPECT_EQ(dir.read("nested/dirs/profile.sid"), std::string(testing::kTestSid) + "\n");
  auto read = read_sid_file(file);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->kind(), SandboxSid::Kind::SidFile);
  EXPECT_TRUE(sid_equal(read->get(), sid.get()));
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  EXPECT_FALSE(sid_equal(read->get(), other.get()));
}

TEST_F(SidFiles, SurroundingWhiteSpaceIsTrimmed) {
  for (const char* content :
       {"S-1-15-2-1-2-3-4-5-6-7\r\n", "\n\n  S-1-15-2-1-2-3-4-5-6-7 \t\n\n"}) {
    dir.write("f.sid", content);
    auto read = read_sid_file(dir / "f.sid");
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(sid_to_sddl(read->get()), testing::kTestSid);
  }
}

TEST_F(SidFiles, UnreadableFilesNameThemselvesInTheError) {
  const std::string missing = dir / "missing.sid";
  EXPECT_EQ(read_sid_file(missing).error(),
            "network sid file '" + missing + "': " + IoError::from_win32(2).display());
  dir.write("blank.sid", " \r\n\t\n");
  EXPECT_EQ(read_sid_file(dir / "blank.sid").error(),
            "network sid file '" + (dir / "blank.sid") + "' is empty");
  dir.write("utf16.sid", std::string("\xFF\xFES\0-\0001\0", 8));
  EXPECT_EQ(read_sid_file(dir / "utf16.sid").error(),
            "network sid file '" + (dir / "utf16.sid") + "': stream did not contain valid UTF-8");
}

TEST_F(SidFiles, AByteOrderMarkFailsTheConversion) {
  dir.write("bom.sid", "\xEF\xBB\xBFS-1-15-2-1\n");
  EXPECT_EQ(read_sid_file(dir / "bom.sid").error(),
            "ConvertStringSidToSidW(\xEF\xBB\xBFS-1-15-2-1): " +
                HresultError::from_win32(ERROR_INVALID_SID).display());
  dir.write("junk.sid", "not a sid");
  EXPECT_EQ(read_sid_file(dir / "junk.sid").error(),
            "ConvertStringSidToSidW(not a sid): " +
                HresultError::from_win32(ERROR_INVALID_SID).display());
}

TEST_F(SidFiles, WritingReplacesAndReportsTheFailingStep) {
  dir.write("f.sid", "a much longer previous content\n");
  ASSERT_TRUE(write_text_file(dir / "f.sid", "S-1-15-2-1"));
  EXPECT_EQ(dir.read("f.sid"), "S-1-15-2-1\n");

  dir.write("file", "x");
  const std::string below_file = dir / "file\\sub\\f.sid";
  auto blocked = write_text_file(below_file, "S-1-15-2-1");
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().code(), 0u);
  EXPECT_TRUE(blocked.error().own_message()->starts_with("create_dir_all(" +
                                                         *path::parent(below_file) + "): "));

  dir.make_dir("adir");
  auto on_directory = write_text_file(dir / "adir", "S-1-15-2-1");
  ASSERT_FALSE(on_directory);
  EXPECT_EQ(*on_directory.error().own_message(),
            "create(" + (dir / "adir") + "): " + IoError::from_win32(5).display());
}

}  // namespace
}  // namespace tavo
