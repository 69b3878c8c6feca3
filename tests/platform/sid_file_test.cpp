// SID files: what is written reads back, and what a file that holds anything else is told.
#include <gtest/gtest.h>

#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/sid.h"
#include "sid/sid_text.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/path.h"

namespace tavo {
namespace {

class SidFiles : public testing::MachineTest {
 protected:
  // The error of reading a SID file holding `content`.
  std::string error_of(std::string_view content) {
    dir.write("f.sid", content);
    auto read = read_sid_file(dir / "f.sid");
    return read ? "<read>" : read.error();
  }
  testing::TempDir dir;
  const std::string file = "network sid file '" + (dir / "f.sid") + "'";
  const std::string invalid = HresultError::from_win32(ERROR_INVALID_SID).display();
};

TEST_F(SidFiles, AWrittenSidReadsBackEqualWhateverWhiteSpaceSurroundsIt) {
  SandboxSid sid = testing::make_sid();
  EXPECT_EQ(sid_to_sddl(sid.get()), testing::kTestSid);
  dir.write("f.sid", "a much longer previous content\n");
  ASSERT_TRUE(write_text_file(dir / "f.sid", std::string(testing::kTestSid)));
  EXPECT_EQ(dir.read("f.sid"), std::string(testing::kTestSid) + "\n");
  ASSERT_TRUE(write_text_file(dir / "nested\\dirs\\f.sid", "x"));
  EXPECT_EQ(dir.read("nested/dirs/f.sid"), "x\n");
  dir.write("file", "x");
  const std::string below_file = dir / "file\\sub\\f.sid";
  EXPECT_TRUE(write_text_file(below_file, "x")
                  .error()
                  .own_message()
                  ->starts_with("create_dir_all(" + *path::parent(below_file) + "): "));
  for (const char* content : {"S-1-15-2-1-2-3-4-5-6-7\r\n", "\n\n  S-1-15-2-1-2-3-4-5-6-7 \t\n\n",
                              "S-1-15-2-1-2-3-4-5-6-7\xC2\xA0"}) {
    dir.write("f.sid", content);
    auto read = read_sid_file(dir / "f.sid");
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->kind(), SandboxSid::Kind::SidFile);
    EXPECT_TRUE(testing::sid_equal(read->get(), sid.get()));
  }
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  EXPECT_FALSE(testing::sid_equal(sid.get(), other.get()));
}

// Only an AppContainer package SID is taken from a file: anything else would be handed the run's
// grants on the caller's folders. A byte order mark is no white space, and text that is not
// UTF-8 no SID.
TEST_F(SidFiles, AFileThatHoldsNoAppContainerSidIsRefusedByWhatItHolds) {
  EXPECT_EQ(
      read_sid_file(dir / "missing.sid").error(),
      "network sid file '" + (dir / "missing.sid") + "': " + IoError::from_win32(2).display());
  EXPECT_EQ(error_of(" \r\n\t\n"), file + " is empty");
  EXPECT_EQ(error_of(std::string("\xFF\xFES\0-\0001\0", 8)),
            file + ": stream did not contain valid UTF-8");
  EXPECT_EQ(error_of("\xEF\xBB\xBFS-1-15-2-1\n"),
            "ConvertStringSidToSidW(\xEF\xBB\xBFS-1-15-2-1): " + invalid);
  for (const char* sid :
       {"S-1-1-0", "S-1-15-2-1", "S-1-15-2-2", "S-1-5-21-1-2-3-1001", "S-1-15-2-1-2-3-4-5-6",
        "S-1-15-2-1-2-3-4-5-6-7-8", "S-1-15-3-1-2-3-4-5-6-7", "S-1-5-2-1-2-3-4-5-6-7"}) {
    EXPECT_EQ(error_of(std::string(sid) + "\n"), file + ": " + sid + " is not an AppContainer SID");
  }
}

// A SID file is a few bytes: a larger file is refused by its size, anything but a regular file
// by what it is, and no message repeats more than the start of what a file holds, cut between
// characters.
TEST_F(SidFiles, OnlyASmallRegularFileIsReadAndLittleOfItIsShown) {
  const std::string padded = std::string(testing::kTestSid) + std::string(4096, ' ');
  EXPECT_EQ(error_of(padded.substr(0, 4096)), "<read>");
  EXPECT_EQ(error_of(padded.substr(0, 4097)), file + ": SID file too large (4097 bytes)");
  EXPECT_EQ(read_sid_file("NUL").error(),
            "network sid file 'NUL': a character device, not a regular file");
  dir.make_dir("sub.sid");
  EXPECT_EQ(read_sid_file(dir / "sub.sid").error(),
            "network sid file '" + (dir / "sub.sid") + "': a directory, not a regular file");

  const std::string junk = "S-1-" + std::string(3000, '9');
  EXPECT_EQ(error_of(junk), "ConvertStringSidToSidW(" + junk.substr(0, 100) + "...): " + invalid);
  EXPECT_EQ(error_of(std::string(99, 'x') + "\xC3\xA9" + junk),
            "ConvertStringSidToSidW(" + std::string(99, 'x') + "...): " + invalid);
}

}  // namespace
}  // namespace tavo
