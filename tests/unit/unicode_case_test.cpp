#include "unicode_case.h"

#include <gtest/gtest.h>

namespace tavo {
namespace {

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
