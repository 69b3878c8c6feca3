#include <gtest/gtest.h>

#include "format.h"
#include "text.h"
#include "win/path.h"
#include "win/wide.h"

namespace tavo {
namespace {

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format("{} of {} revoke(s) failed", 1, 3u), "1 of 3 revoke(s) failed");
  EXPECT_EQ(format("NTSTATUS 0x{:08x}", 0xC0000005u), "NTSTATUS 0xc0000005");
  EXPECT_EQ(format("0x{:08X}", 5u), "0x00000005");
  EXPECT_EQ(format("{} {}", std::string("a"), std::string_view("b")), "a b");
  EXPECT_EQ(format("{{}} {}", -7), "{} -7");
  EXPECT_EQ(format("missing {} {}", 1), "missing 1 {}");
}

TEST(Text, TrimRemovesUnicodeWhiteSpaceButNotAByteOrderMark) {
  EXPECT_EQ(trim_white_space(" \t\r\n S-1-15-2-1 \r\n\n"), "S-1-15-2-1");
  EXPECT_EQ(trim_white_space("\xC2\xA0x\xE3\x80\x80"), "x");  // no-break space, ideographic space
  EXPECT_EQ(trim_white_space("\xEF\xBB\xBFS-1"), "\xEF\xBB\xBFS-1");
  EXPECT_EQ(trim_white_space(" \n "), "");
}

TEST(Text, Utf8ValidityIsStrict) {
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xFF\xFE"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // encoded surrogate
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));      // cut short
}

TEST(Text, ParseU32AcceptsOnePlusThenDigits) {
  EXPECT_EQ(parse_u32("+7"), 7u);
  EXPECT_EQ(parse_u32("4294967295"), 4294967295u);
  EXPECT_EQ(parse_u32("007"), 7u);
  for (const char* bad : {"", "+", "-0", " 1", "1 ", "4294967296", "99999999999999999999", "1e3"}) {
    EXPECT_FALSE(parse_u32(bad).has_value()) << bad;
  }
}

TEST(Wide, RoundTripsAndRejectsLoneSurrogatesWhenStrict) {
  const std::string text = "C:\\Users\\\xC3\xA9ric\\\xF0\x9F\x98\x80";
  WideString wide = to_wide_nul(text);
  EXPECT_EQ(wide.size(), 16u);  // the emoji takes two units
  EXPECT_EQ(wide.c_str()[wide.size()], WCHAR{0});
  EXPECT_EQ(from_wide(wide), text);
  WideString lone = to_wide_nul("ab");
  lone[1] = static_cast<WCHAR>(0xD800);
  EXPECT_FALSE(from_wide(lone).has_value());
  EXPECT_EQ(from_wide_lossy(lone), "a\xEF\xBF\xBD");
}

TEST(WindowsPath, ParentsStopAtRoots) {
  EXPECT_EQ(path::parent("C:\\Users\\ann"), "C:\\Users");
  EXPECT_EQ(path::parent("C:\\Users"), "C:\\");
  EXPECT_EQ(path::parent("C:\\"), std::nullopt);
  EXPECT_EQ(path::parent("\\\\?\\C:\\Users\\ann"), "\\\\?\\C:\\Users");
  EXPECT_EQ(path::parent("\\\\?\\C:\\Users"), "\\\\?\\C:\\");
  EXPECT_EQ(path::parent("\\\\?\\C:\\"), std::nullopt);
  EXPECT_EQ(path::parent("\\\\server\\share\\bin"), "\\\\server\\share\\");
  EXPECT_EQ(path::parent("\\\\server\\share\\"), std::nullopt);
  EXPECT_EQ(path::parent("C:\\a\\b\\"), "C:\\a");
  EXPECT_EQ(path::parent("C:\\a\\\\b"), "C:\\a");
  EXPECT_EQ(path::parent("a\\b"), "a");
  EXPECT_EQ(path::parent("a"), "");
  EXPECT_EQ(path::parent(""), std::nullopt);
  EXPECT_EQ(path::parent("C:a"), "C:");
  EXPECT_EQ(path::parent("/usr/bin"), "/usr");
  EXPECT_EQ(path::parent("/"), std::nullopt);
}

TEST(WindowsPath, NamesExtensionsAndJoins) {
  EXPECT_EQ(path::file_name("C:\\pool\\b.dat"), "b.dat");
  EXPECT_EQ(path::file_name("C:\\"), std::nullopt);
  EXPECT_EQ(path::extension("C:\\pool\\b.dat"), "dat");
  EXPECT_EQ(path::extension("C:\\pool\\a.DAT"), "DAT");
  EXPECT_EQ(path::extension("C:\\pool\\.dat"), std::nullopt);
  EXPECT_EQ(path::extension("C:\\pool\\x.tar.dat"), "dat");
  EXPECT_EQ(path::extension("C:\\pool\\.registration-version"), std::nullopt);
  EXPECT_EQ(path::extension("C:\\pool\\b."), "");
  EXPECT_EQ(path::join("C:\\pool", "a.dat"), "C:\\pool\\a.dat");
  EXPECT_EQ(path::join("C:\\pool\\", "a.dat"), "C:\\pool\\a.dat");
  EXPECT_EQ(path::join("C:", "x"), "C:x");
  EXPECT_EQ(path::join("", "x"), "x");
  EXPECT_EQ(path::join("C:\\a", "D:\\b"), "D:\\b");
  EXPECT_TRUE(path::is_absolute("\\Tools"));
  EXPECT_TRUE(path::is_absolute("\\\\server\\share\\bin"));
  EXPECT_TRUE(path::is_absolute("/usr/bin"));
  EXPECT_FALSE(path::is_absolute("C:"));
  EXPECT_FALSE(path::is_absolute("C:bin"));
  EXPECT_FALSE(path::is_absolute("bin"));
}

}  // namespace
}  // namespace tavo
