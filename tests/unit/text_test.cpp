// Text: UTF-8 and UTF-16 at their edges, lower-casing, debug quoting and the progress line.
#include <gtest/gtest.h>

#include <vector>

#include "base/debug_text.h"
#include "base/text.h"
#include "base/unicode_case.h"
#include "base/utf8_lossy.h"
#include "runtime/progress.h"
#include "win/wide.h"

namespace tavo {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

WideString units(std::initializer_list<unsigned> list) {
  WideString out;
  for (unsigned unit : list)
    out.push_back(static_cast<WCHAR>(unit));
  return out;
}

// The code points on either side of each change of length, of the surrogates and of the end.
TEST(Unicode, CodePointsAtEveryEdgeRoundTrip) {
  const std::pair<std::string, WideString> cases[] = {
      {"\xC2\x80", units({0x80})},
      {"\xE0\xA0\x80", units({0x800})},
      {"\xED\x9F\xBF", units({0xD7FF})},
      {"\xEE\x80\x80", units({0xE000})},
      {"\xEF\xBF\xBF", units({0xFFFF})},
      {"\xF0\x90\x80\x80", units({0xD800, 0xDC00})},
      {"\xF4\x8F\xBF\xBF", units({0xDBFF, 0xDFFF})},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(to_wide_nul(utf8), utf16) << utf8;
    EXPECT_EQ(from_wide(utf16), utf8);
    EXPECT_EQ(utf8_lossy(utf8), utf8);
  }
}

// A surrogate without its partner fails the strict decoding and reads as U+FFFD otherwise.
TEST(Unicode, ALoneSurrogateIsRefusedOrReplaced) {
  const std::pair<WideString, std::string> lone[] = {
      {units({0xD800}), kFffd},
      {units({'A', 0xDBFF}), "A" + kFffd},
      {units({0xDFFF, 'A'}), kFffd + "A"},
      {units({0xD800, 0xDBFF}), kFffd + kFffd},
      {units({0xDBFF, 0xE000}), kFffd + "\xEE\x80\x80"},
  };
  for (const auto& [utf16, lossy] : lone) {
    EXPECT_EQ(from_wide(utf16), std::nullopt) << lossy;
    EXPECT_EQ(from_wide_lossy(utf16), lossy);
  }
}

// Read lossily, a sequence cut short is one U+FFFD, and so is each byte that cannot be in one.
TEST(Unicode, InvalidUtf8IsRefusedOrReplacedByTheByte) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"\x80", 1},
      {"\xC1\xBF", 2},          // U+007F in two bytes
      {"\xE0\x9F\xBF", 3},      // U+07FF in three
      {"\xF0\x8F\xBF\xBF", 4},  // U+FFFF in four
      {"\xED\xA0\x80", 3},      // U+D800
      {"\xF4\x90\x80\x80", 4},  // U+110000
      {"\xF5\x80\x80\x80", 4},
      {"\xC2", 1},
      {"\xE0\xA0", 1},  // cut short: one replacement for what could have completed
      {"\xF0\x90\x80", 1},
      {"\xF4\x8F\xBF", 1},
  };
  for (const auto& [bytes, replaced] : cases) {
    EXPECT_FALSE(is_valid_utf8("a" + bytes)) << bytes;
    std::string lossy = "a";
    for (std::size_t i = 0; i < replaced; ++i)
      lossy += kFffd;
    EXPECT_EQ(utf8_lossy("a" + bytes + "b"), lossy + "b") << bytes;
  }
  EXPECT_EQ(to_wide_nul("\xFF"
                        "a"),
            units({0xFFFD, 'a'}));
}

// Trimmed from both ends: exactly the characters Unicode gives the White_Space property.
TEST(Unicode, WhiteSpaceIsUnicodesWhiteSpace) {
  std::vector<char32_t> white = {0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D})
    white.push_back(c);
  for (char32_t c = 0x2000; c <= 0x200A; ++c)
    white.push_back(c);
  const auto utf8 = [](char32_t c) {
    std::string text;
    append_utf8(text, c);
    return text;
  };
  for (char32_t c : white)
    EXPECT_EQ(trim_white_space(utf8(c) + "x" + utf8(c)), "x") << std::hex << unsigned(c);
  for (char32_t c : {0x08, 0x0E, 0x1F, 0x21, 0x180E, 0x200B, 0x2060, 0xFEFF})
    EXPECT_EQ(trim_white_space(utf8(c)), utf8(c)) << std::hex << unsigned(c);
}

// Lengths change, one character may give two, a sigma ending a word (past marks) is final.
TEST(UnicodeCase, LowerCasingIsUnicodes) {
  const std::string S = "\xCE\xA3", s = "\xCF\x83", f = "\xCF\x82", A = "\xCE\x91", a = "\xCE\xB1";
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\PROGRAM Files \xC3\x80\xC3\x97\xC3\x9D\xC3\x9F",
       "c:\\program files \xC3\xA0\xC3\x97\xC3\xBD\xC3\x9F"},
      {"\xC4\x80\xC4\x81\xD0\x96\xF0\x90\x90\x80", "\xC4\x81\xC4\x81\xD0\xB6\xF0\x90\x90\xA8"},
      {"\xC8\xBA\xE2\x84\xAA\xC4\xB0", "\xE2\xB1\xA5ki\xCC\x87"},  // A-stroke, Kelvin, I-dot
      {A + S + A + S + " " + S + A, a + s + a + f + " " + s + a},
      {A + "'" + S + ". " + A + S + "'" + A + " " + A + S + "\xCC\x81",
       a + "'" + f + ". " + a + s + "'" + a + " " + a + f + "\xCC\x81"},
  };
  for (const auto& [text, lower] : cases)
    EXPECT_EQ(to_lowercase(text), lower) << text;
}

// A longer line could not be written over: its start gives way, whole characters at a time.
TEST(Progress, ALineFitsSeventyNineColumnsKeepingItsEnd) {
  const std::string fits = "icacls C:\\" + std::string(62, 'x');
  EXPECT_EQ(progress_text(3, 20, fits), "[3/20] " + fits);
  const std::string line =
      progress_text(10, 20, "icacls C:\\" + std::string(60, 'x') + "\\\xC3\xBC\xC3\xBC\\bin");
  EXPECT_EQ(line.size(), 79u + 2);  // each u-umlaut is two bytes in one column
  EXPECT_TRUE(line.starts_with("[10/20] ...\\xxx")) << line;
  EXPECT_TRUE(line.ends_with("x\\\xC3\xBC\xC3\xBC\\bin")) << line;
}

// A value in a debug line shows what could break or forge the line escaped.
TEST(DebugText, WhatCouldBreakALineIsEscaped) {
  EXPECT_EQ(debug_optional("a\"\\\t\r\n\x01\x7F\xC2\x9F\xC2\xA0"),
            "Some(\"a\\\"\\\\\\t\\r\\n\\u{1}\\u{7f}\\u{9f}\xC2\xA0\")");
  EXPECT_EQ(debug_optional(std::nullopt), "None");
}

}  // namespace
}  // namespace tavo
