#include <gtest/gtest.h>

#include "base/debug_text.h"
#include "base/format.h"
#include "base/text.h"
#include "base/unicode_case.h"
#include "base/utf8_lossy.h"
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

TEST(DebugText, OptionalStringsReadAsNoneOrSomeWithEscapes) {
  EXPECT_EQ(debug_optional(std::nullopt), "None");
  EXPECT_EQ(debug_optional(""), "Some(\"\")");
  EXPECT_EQ(debug_optional("C:\\work\\proj"), "Some(\"C:\\\\work\\\\proj\")");
  EXPECT_EQ(debug_optional("say \"hi\""), "Some(\"say \\\"hi\\\"\")");
  EXPECT_EQ(debug_optional("a\tb\r\nc"), "Some(\"a\\tb\\r\\nc\")");
  EXPECT_EQ(debug_optional(std::string("nul\0end", 7)), "Some(\"nul\\0end\")");
  EXPECT_EQ(debug_optional("bell\x07 del\x7F c1\xC2\x85"),
            "Some(\"bell\\u{7} del\\u{7f} c1\\u{85}\")");
  // Quotes of the other kind and printable non-ASCII text stay as they are.
  EXPECT_EQ(debug_optional("it's \xC3\xA9t\xC3\xA9"), "Some(\"it's \xC3\xA9t\xC3\xA9\")");
}

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(utf8_lossy("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_lossy("a\xFF"
                       "b"),
            "a" + kFffd + "b");
  // A sequence cut short is one replacement, however much of it was there.
  EXPECT_EQ(utf8_lossy("a\xE2\x82"
                       "b"),
            "a" + kFffd + "b");
  EXPECT_EQ(utf8_lossy("a\xF0\x9F\x98"), "a" + kFffd);
  // Stray continuation bytes, overlong forms and surrogates: one replacement per byte that
  // could not have started or continued a valid sequence.
  EXPECT_EQ(utf8_lossy("\x80\x80"), kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), kFffd + kFffd + kFffd);
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);
}

TEST(ToLowercase, AsciiAndLatin1) {
  EXPECT_EQ(to_lowercase("C:\\Program Files\\Git\\CMD 2"), "c:\\program files\\git\\cmd 2");
  // A-grave to Y-acute; the multiplication sign between them and sharp s stay.
  EXPECT_EQ(to_lowercase("\xC3\x80\xC3\x89\xC3\x96\xC3\x97\xC3\x98\xC3\x9D\xC3\x9F"),
            "\xC3\xA0\xC3\xA9\xC3\xB6\xC3\x97\xC3\xB8\xC3\xBD\xC3\x9F");
  EXPECT_EQ(to_lowercase("\xFF"
                         "A"),
            "\xFF"
            "a");  // a stray byte is kept
}

TEST(ToLowercase, MappingsOfEveryLength) {
  // A-macron and its small form (pairs alternate), Cyrillic, Deseret (four bytes).
  EXPECT_EQ(to_lowercase("\xC4\x80\xC4\x81\xC4\x82"), "\xC4\x81\xC4\x81\xC4\x83");
  EXPECT_EQ(to_lowercase("\xD0\x96\xD0\x81"), "\xD0\xB6\xD1\x91");
  EXPECT_EQ(to_lowercase("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");
  // Longer in UTF-8: A with stroke (2 bytes) becomes U+2C65 (3 bytes).
  EXPECT_EQ(to_lowercase("\xC8\xBA"), "\xE2\xB1\xA5");
  // Shorter: the Kelvin sign becomes k.
  EXPECT_EQ(to_lowercase("\xE2\x84\xAA"), "k");
  // Several characters: capital I with dot above becomes i and a combining dot above.
  EXPECT_EQ(to_lowercase("\xC4\xB0stanbul"), "i\xCC\x87stanbul");
}

TEST(ToLowercase, CapitalSigmaIsFinalOnlyAtTheEndOfAWord) {
  const std::string S = "\xCE\xA3";  // capital sigma
  const std::string s = "\xCF\x83";  // small sigma
  const std::string f = "\xCF\x82";  // final sigma
  const std::string A = "\xCE\x91", a = "\xCE\xB1";
  EXPECT_EQ(to_lowercase(A + S + A + S), a + s + a + f);
  EXPECT_EQ(to_lowercase(A + S + " " + S + A), a + f + " " + s + a);
  EXPECT_EQ(to_lowercase(S), s);  // nothing cased before it
  // Apostrophes and combining marks are skipped when looking both ways.
  EXPECT_EQ(to_lowercase(A + "'" + S + "."), a + "'" + f + ".");
  EXPECT_EQ(to_lowercase(A + S + "'" + A), a + s + "'" + a);
  EXPECT_EQ(to_lowercase(A + S + "\xCC\x81"), a + f + "\xCC\x81");
}

}  // namespace
}  // namespace tavo
