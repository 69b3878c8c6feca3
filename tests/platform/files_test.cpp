// Files, SID files, the object a DACL edit opens and the paths the guard resolves, through the
// program's calls: under Wine, the platform's implementation checks winsim's.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "acl/dacl_object.h"
#include "acl/path_blocklist.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/pool_version.h"
#include "sandbox_profile/sid_file.h"
#include "support/current_directory.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/fs.h"
#include "win/path_names.h"
#include "win/wide.h"

namespace tavo {
namespace {

using namespace std::string_literals;

class Files : public testing::MachineTest {
 protected:
  // The error of reading a SID file holding `content`.
  std::string sid_error_of(std::string_view content) {
    dir.write("f.sid", content);
    auto read = read_sid_file(dir / "f.sid");
    return read ? "<read>" : read.error();
  }
  static std::string full(const std::string& path) {
    return full_path_name(path).value_or("(none: " + path + ")");
  }
  static std::string final(const std::string& path) {
    return final_path_name(path).value_or("(none: " + path + ")");
  }
  testing::TempDir dir;
  const std::string sid_file = "network sid file '" + (dir / "f.sid") + "'";
  const std::string invalid = HresultError::from_win32(ERROR_INVALID_SID).display();
};

std::optional<std::uint32_t> os_error_of(const auto& result) {
  return result ? std::nullopt : result.error().os_error();
}

TEST_F(Files, AWriteReplacesTheWholeFile) {
  const std::string file = dir / "a.txt";
  ASSERT_TRUE(fs::write_file(file, "first, longer content"));
  ASSERT_TRUE(fs::write_file(file, "S-1-15-2-1\n"));  // truncates
  EXPECT_EQ(fs::read_text_file(file), "S-1-15-2-1\n");
  dir.write("utf16.txt", std::string("\xFF\xFEs\0-\0", 6));
  EXPECT_EQ(fs::read_text_file(dir / "utf16.txt").error(), IoError::invalid_utf8());
}

TEST_F(Files, AFolderIsMadeWithItsParents) {
  dir.write("a.txt", "");
  ASSERT_TRUE(fs::create_dir_all(dir / "d\\e\\f"));
  EXPECT_TRUE(fs::create_dir_all(dir / "d\\e"));
  EXPECT_TRUE(fs::exists(dir / "d\\e\\f"));
  auto names = fs::list_dir(dir.path()).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "d"}));
  EXPECT_EQ(fs::list_dir(dir / "d\\e\\f").value(), std::vector<std::string>{});
}

TEST_F(Files, AFailureCarriesItsWin32Code) {
  dir.write("a.txt", "");
  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "missing.txt")), 2u);
  EXPECT_EQ(os_error_of(fs::read_text_file(dir / "no\\such\\dir.txt")), 3u);
  EXPECT_EQ(os_error_of(fs::remove_file(dir / "missing.txt")), 2u);
  EXPECT_EQ(os_error_of(fs::list_dir(dir / "missing")), 3u);
  EXPECT_EQ(os_error_of(fs::create_dir_all(dir / "a.txt")), 183u);
}

TEST_F(Files, APoolMarkerOfThisOrALaterVersionIsCurrent) {
  // This version or a later one is current (the end-to-end tests show a missing marker and "1").
  const std::pair<const char*, bool> markers[] = {{" 1 \r\n", true}, {"2", true}, {"0", false}};
  for (const auto& [marker, current] : markers) {
    dir.write(".registration-version", marker);
    EXPECT_EQ(check_pool_version(dir.path()), current) << marker;
  }
}

// A missing object fails with the codes cleanup tells "no longer exists" by.
TEST_F(Files, AnEditReadsItsObjectThroughTheHandle) {
  dir.write("d/f.txt", "x");
  auto directory = DaclObject::open(dir / "d", "typed", GuardRule::SystemPathsRefused);
  ASSERT_TRUE(directory) << directory.error().display();
  EXPECT_TRUE(directory->final_path().ends_with("d")) << directory->final_path();
  EXPECT_EQ(directory->is_directory(), true);
  EXPECT_TRUE(directory->read_dacl());
  EXPECT_GE(directory->read_security().value_or(FileSecurity{}).length, 20u);
  auto file = DaclObject::open(dir / "d/f.txt", "typed", GuardRule::SystemPathsRefused);
  ASSERT_TRUE(file) << file.error().display();
  EXPECT_EQ(file->is_directory(), false);
  const auto code_of = [](const std::string& path) {
    return DaclObject::open(path, "x", GuardRule::SystemPathsRefused).error().code();
  };
  EXPECT_EQ(code_of(dir / "missing"), 0x80070002u);
  EXPECT_EQ(code_of(dir / "no\\such\\thing"), 0x80070003u);
}

// Only a small regular file holding an AppContainer package SID is taken; a message shows no more
// than the start of a file, cut between characters.
TEST_F(Files, OnlyASmallFileHoldingAnAppContainerSidIsTaken) {
  const std::string padded = std::string(testing::kTestSid) + std::string(4096, ' ');
  const std::string junk = "S-1-" + std::string(3000, '9');
  const std::pair<std::string, std::string> cases[] = {
      {padded.substr(0, 4096), "<read>"},
      {padded.substr(0, 4097), sid_file + ": SID file too large (4097 bytes)"},
      {" \r\n\t\n", sid_file + " is empty"},
      {std::string("\xFF\xFES\0-\0001\0", 8), sid_file + ": stream did not contain valid UTF-8"},
      {"\xEF\xBB\xBFS-1-15-2-1\n", "ConvertStringSidToSidW(\xEF\xBB\xBFS-1-15-2-1): " + invalid},
      {junk, "ConvertStringSidToSidW(" + junk.substr(0, 100) + "...): " + invalid},
      {std::string(99, 'x') + "\xC3\xA9" + junk,
       "ConvertStringSidToSidW(" + std::string(99, 'x') + "...): " + invalid},
  };
  for (const auto& [content, error] : cases)
    EXPECT_EQ(sid_error_of(content), error) << content.substr(0, 40);
  for (const char* sid :
       {"S-1-1-0", "S-1-15-2-1", "S-1-15-3-1-2-3-4-5-6-7", "S-1-5-2-1-2-3-4-5-6-7"}) {
    EXPECT_EQ(sid_error_of(std::string(sid) + "\n"),
              sid_file + ": " + sid + " is not an AppContainer SID");
  }
  EXPECT_EQ(read_sid_file("NUL").error(),
            "network sid file 'NUL': a character device, not a regular file");
  dir.make_dir("sub.sid");
  EXPECT_EQ(read_sid_file(dir / "sub.sid").error(),
            "network sid file '" + (dir / "sub.sid") + "': a directory, not a regular file");
}

// A SID file is written with one line feed, its folders made, and read whatever white space
// surrounds the SID.
TEST_F(Files, ASidFileIsOneLineReadWhateverSurroundsIt) {
  dir.write("f.sid", "a much longer previous content\n");
  auto written = write_text_file(dir / "f.sid", std::string(testing::kTestSid));
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(dir.read("f.sid"), std::string(testing::kTestSid) + "\n");
  ASSERT_TRUE(write_text_file(dir / "nested\\dirs\\f.sid", "x"));
  EXPECT_EQ(dir.read("nested/dirs/f.sid"), "x\n");
  SandboxSid sid = testing::make_sid();
  for (const char* content : {"S-1-15-2-1-2-3-4-5-6-7\r\n", "\n\n  S-1-15-2-1-2-3-4-5-6-7 \t\n\n",
                              "S-1-15-2-1-2-3-4-5-6-7\xC2\xA0"}) {
    dir.write("f.sid", content);
    auto read = read_sid_file(dir / "f.sid");
    ASSERT_TRUE(read) << read.error();
    EXPECT_TRUE(testing::sid_equal(read->get(), sid.get()));
  }
}

// Each spelling names what its plain form names; the last component loses its trailing dots and
// spaces, an inner one a single trailing dot.
TEST_F(Files, APathResolvesOnItsText) {
  dir.make_dir("a");
  const std::string plain_b = full(dir / "b");
  const std::string plain_ab = full(dir / "a/b");
  for (const char* spelling : {"a\\..\\b", ".\\b", "b.", "b ", "b. .", "a\\.\\..\\b\\."}) {
    EXPECT_EQ(full(dir / spelling), plain_b) << spelling;
  }
  for (const char* spelling : {"a\\\\b", "a//b", "a.\\b", "a\\b\\c\\.."})
    EXPECT_EQ(full(dir / spelling), plain_ab) << spelling;
  // An inner "a.." keeps both dots (Wine drops one, as Windows did before Vista), "a. " all.
  const std::string base = plain_b.substr(0, plain_b.size() - 1);  // up to the separator
  for (const std::string kept : {"a..", "a. "}) {
    if (kept == "a.." && testing::running_under_wine()) continue;
    EXPECT_EQ(full(dir / (kept + "\\b")), base + kept + base.back() + "b") << kept;
  }
  EXPECT_EQ(full("C:\\.."), "C:\\");
  EXPECT_EQ(full("C:\\..\\..\\Windows."), "C:\\Windows");
  // A verbatim path is opened as it stands but resolved like any other.
  EXPECT_EQ(full("\\\\?\\C:\\Users\\..\\Windows\\."), "\\\\?\\C:\\Windows");
  testing::CurrentDirectory in(dir / "a");
  EXPECT_EQ(full("b"), plain_ab);
  EXPECT_EQ(full("..\\b"), plain_b);
}

// Devices and streams are refused as typed, other spellings of a system path once resolved;
// ordinary files however they are spelled pass.
TEST_F(Files, TheGuardJudgesWhatAPathResolvesTo) {
  dir.write("f", "");
  for (const std::string& path :
       {"\\\\?\\GLOBALROOT\\Device\\Null"s, dir / "f" + ":ads", "C:\\Windows."s, "C:\\Windows. "s,
        "C:\\Users\\..\\Windows"s, "\\\\?\\C:\\Users\\..\\Windows"s, "C:\\\\Program Files\\"s}) {
    EXPECT_TRUE(is_refused_path(path)) << path;
  }
  for (const std::string& path : {dir / "f", dir / "a\\..\\f", dir / "f.", dir.path()})
    EXPECT_FALSE(is_refused_path(path)) << path;
#if defined(_WIN32)
  EXPECT_FALSE(is_refused_path("\\\\?\\" + dir / "f"));
#endif
}

// ".." is resolved before links are followed: rel\.. is the folder holding the link.
TEST_F(Files, DotDotTakesAwayALinksNameNotItsTarget) {
  dir.make_dir("proj");
  dir.make_dir("elsewhere/target");
#if defined(_WIN32)
  // The C++ library here makes no links on Windows; the platform call does, where it can.
  if (!CreateSymbolicLinkW(
          to_wide_nul(dir / "proj\\rel").c_str(), to_wide_nul(dir / "elsewhere\\target").c_str(),
          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    GTEST_SKIP() << "no link can be made here: error " << GetLastError();
  }
#else
  std::filesystem::create_directory_symlink(dir / "elsewhere/target", dir / "proj/rel");
#endif
  // Wine 8 makes the link but cannot open it.
  if (!final_path_name(dir / "proj\\rel")) GTEST_SKIP() << "a link made here cannot be followed";
  EXPECT_EQ(final(dir / "proj\\rel"), final(dir / "elsewhere/target"));
  EXPECT_EQ(final(dir / "proj\\rel\\.."), final(dir / "proj"));
  EXPECT_EQ(final(dir / "proj\\rel\\..\\rel"), final(dir / "elsewhere/target"));
}

}  // namespace
}  // namespace tavo
