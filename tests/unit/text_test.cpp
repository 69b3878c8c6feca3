// Text: UTF-8 and UTF-16 at their edges, lower-casing, the progress line and log lines.
#include <gtest/gtest.h>

#include "base/debug_text.h"
#include "base/text.h"
#include "base/unicode_case.h"
#include "base/utf8_lossy.h"
#include "runtime/log.h"
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
TEST(Unicode, CodePointsAtEveryEdgeRoundTripAndLoneSurrogatesDoNot) {
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
  // A surrogate without its partner fails the strict decoding and reads as U+FFFD otherwise.
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
TEST(Unicode, InvalidUtf8IsRefusedAndReplacedByTheByte) {
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

// Lengths change, one character may give two, a sigma ending a word (past marks) is final.
TEST(Text, LowerCasingIsUnicodes) {
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
TEST(Text, AProgressLineFitsSeventyNineColumnsKeepingItsEnd) {
  const std::string fits = "icacls C:\\" + std::string(62, 'x');
  EXPECT_EQ(progress_text(3, 20, fits), "[3/20] " + fits);
  const std::string line =
      progress_text(10, 20, "icacls C:\\" + std::string(60, 'x') + "\\\xC3\xBC\xC3\xBC\\bin");
  EXPECT_EQ(line.size(), 79u + 2);  // each u-umlaut is two bytes in one column
  EXPECT_TRUE(line.starts_with("[10/20] ...\\xxx")) << line;
  EXPECT_TRUE(line.ends_with("x\\\xC3\xBC\xC3\xBC\\bin")) << line;
}

}  // namespace

namespace logging {
namespace {

// What each filter lets through is fuzz_log_filter's property; these are the readings users meet.
TEST(LogFilter, UnsetMeansErrorsAndTheLongestMatchingTargetDecidesTheLaterAmongEquals) {
  const Filter unset = parse_filter(std::nullopt).filter;
  EXPECT_TRUE(unset.enabled(Level::Error, "tavo_sandbox::spawn"));
  EXPECT_FALSE(unset.enabled(Level::Warn, "tavo_sandbox"));
  const Filter f = parse_filter("debug, tavo_sandbox::spawn=off").filter;
  EXPECT_TRUE(f.enabled(Level::Debug, "tavo_sandbox::path_grant"));
  EXPECT_FALSE(f.enabled(Level::Error, "tavo_sandbox::spawn"));
  EXPECT_EQ(f.max_level(), Level::Debug);
  for (const char* later_decides : {"tavo_sandbox=warn,tavo_sandbox=trace", "warn,trace"})
    EXPECT_TRUE(parse_filter(later_decides).filter.enabled(Level::Trace, "tavo_sandbox"));
  const Filter pattern = parse_filter("info/grant").filter;
  EXPECT_TRUE(pattern.passes(Level::Info, "tavo_sandbox", "PATH grant applied"));
  EXPECT_FALSE(pattern.passes(Level::Info, "tavo_sandbox", "loopback"));
  const std::pair<const char*, const char*> cases[] = {
      {"info,tavo_sandbox=loud", "warning: invalid logging spec 'loud', ignoring it"},
      {"a=b=c", "warning: invalid logging spec 'a=b=c', ignoring it"},
  };
  for (const auto& [text, warning] : cases)
    EXPECT_EQ(parse_filter(text).warnings, std::vector<std::string>{warning}) << text;
  EXPECT_TRUE(parse_filter("info,tavo_sandbox=loud").filter.enabled(Level::Info, "tavo_sandbox"));
}

// A value in a debug line shows what could break or forge the line escaped.
TEST(DebugText, ControlCharactersQuotesAndBackslashesAreEscaped) {
  EXPECT_EQ(debug_optional("a\"\\\t\r\n\x01\x7F\xC2\x9F\xC2\xA0"),
            "Some(\"a\\\"\\\\\\t\\r\\n\\u{1}\\u{7f}\\u{9f}\xC2\xA0\")");
  EXPECT_EQ(debug_optional(std::nullopt), "None");
}

// A value that counts how often it is turned into text.
struct Counted {
  int* formatted;
};
void append_text(std::string& out, const Counted& value) {
  ++*value.formatted;
  out += "counted";
}

TEST(LogLine, PadsTheLevelIndentsLaterLinesAndFormatsOnlyWhatPasses) {
  EXPECT_EQ(format_line(Level::Warn, "tavo_sandbox", "careful"), "[WARN  tavo_sandbox] careful\n");
  EXPECT_EQ(format_line(Level::Debug, "t", "a\nb\nc"), "[DEBUG t] a\n    b\n    c\n");
  EXPECT_EQ(format_line(Level::Info, "t", ""), "[INFO  t] \n");
  int formatted = 0;  // nothing is formatted for a record the filter drops
  std::vector<std::string> lines;
  ScopedCapture capture(parse_filter("tavo_sandbox=info,tavo_sandbox::spawn=off").filter,
                        [&](std::string_view line) { lines.emplace_back(line); });
  log(Level::Debug, kTargetMain, "{}", Counted{&formatted});
  log(Level::Error, kTargetSpawn, "{}", Counted{&formatted});
  EXPECT_EQ(formatted, 0);
  log(Level::Info, kTargetProfile, "value {}", Counted{&formatted});
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(lines,
            std::vector<std::string>{"[INFO  tavo_sandbox::sandbox_profile] value counted\n"});
}

}  // namespace
}  // namespace logging
}  // namespace tavo
