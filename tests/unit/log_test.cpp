// The log: what a filter lets through and how a line looks.
#include "runtime/log.h"

#include <gtest/gtest.h>

namespace tavo {
namespace logging {
namespace {

// What each filter lets through is fuzz_log_filter's property; these are the readings users meet.
TEST(LogFilter, UnsetMeansErrorsOnly) {
  const Filter unset = parse_filter(std::nullopt).filter;
  EXPECT_TRUE(unset.enabled(Level::Error, "tavo_sandbox::spawn"));
  EXPECT_FALSE(unset.enabled(Level::Warn, "tavo_sandbox"));
}

// The longest matching target decides, the later among equals; a pattern looks at the message.
TEST(LogFilter, TheMostSpecificDirectiveDecides) {
  const Filter f = parse_filter("debug, tavo_sandbox::spawn=off").filter;
  EXPECT_TRUE(f.enabled(Level::Debug, "tavo_sandbox::path_grant"));
  EXPECT_FALSE(f.enabled(Level::Error, "tavo_sandbox::spawn"));
  EXPECT_EQ(f.max_level(), Level::Debug);
  for (const char* later_decides : {"tavo_sandbox=warn,tavo_sandbox=trace", "warn,trace"})
    EXPECT_TRUE(parse_filter(later_decides).filter.enabled(Level::Trace, "tavo_sandbox"));
  const Filter pattern = parse_filter("info/grant").filter;
  EXPECT_TRUE(pattern.passes(Level::Info, "tavo_sandbox", "PATH grant applied"));
  EXPECT_FALSE(pattern.passes(Level::Info, "tavo_sandbox", "loopback"));
}

TEST(LogFilter, AnInvalidDirectiveIsIgnoredWithAWarning) {
  const std::pair<const char*, const char*> cases[] = {
      {"info,tavo_sandbox=loud", "warning: invalid logging spec 'loud', ignoring it"},
      {"a=b=c", "warning: invalid logging spec 'a=b=c', ignoring it"},
  };
  for (const auto& [text, warning] : cases)
    EXPECT_EQ(parse_filter(text).warnings, std::vector<std::string>{warning}) << text;
  EXPECT_TRUE(parse_filter("info,tavo_sandbox=loud").filter.enabled(Level::Info, "tavo_sandbox"));
}

// A value that counts how often it is turned into text.
struct Counted {
  int* formatted;
};
void append_text(std::string& out, const Counted& value) {
  ++*value.formatted;
  out += "counted";
}

// The level padded to five columns, then the target; later lines of the message indented.
TEST(LogLine, LinesUpBelowItsPaddedLevel) {
  EXPECT_EQ(format_line(Level::Warn, "tavo_sandbox", "careful"), "[WARN  tavo_sandbox] careful\n");
  EXPECT_EQ(format_line(Level::Debug, "t", "a\nb\nc"), "[DEBUG t] a\n    b\n    c\n");
  EXPECT_EQ(format_line(Level::Info, "t", ""), "[INFO  t] \n");
}

TEST(LogLine, IsFormattedOnlyWhenItsRecordPasses) {
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
