#include "runtime/log.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace tavo::logging {
namespace {

Filter filter_of(std::string_view text) {
  return parse_filter(text).filter;
}

TEST(LogSpec, UnsetEmptyOrInvalidMeansErrorsOnly) {
  for (std::optional<std::string_view> text :
       {std::optional<std::string_view>{}, std::optional<std::string_view>{""},
        std::optional<std::string_view>{" , "}, std::optional<std::string_view>{"x=bogus"}}) {
    Filter f = parse_filter(text).filter;
    EXPECT_TRUE(f.enabled(Level::Error, "tavo_sandbox::spawn"));
    EXPECT_FALSE(f.enabled(Level::Warn, "tavo_sandbox"));
    EXPECT_EQ(f.max_level(), Level::Error);
  }
}

TEST(LogSpec, LevelsTargetsAndTheLongestPrefixDecide) {
  Filter f = filter_of("debug, tavo_sandbox::spawn=off");
  EXPECT_TRUE(f.enabled(Level::Debug, "tavo_sandbox"));
  EXPECT_TRUE(f.enabled(Level::Debug, "tavo_sandbox::path_grant"));
  EXPECT_FALSE(f.enabled(Level::Error, "tavo_sandbox::spawn"));
  EXPECT_FALSE(f.enabled(Level::Trace, "tavo_sandbox"));
  EXPECT_EQ(f.max_level(), Level::Debug);

  Filter prefix = filter_of("tavo_sandbox=INFO");
  EXPECT_TRUE(prefix.enabled(Level::Info, "tavo_sandbox::spawn"));
  EXPECT_FALSE(prefix.enabled(Level::Debug, "tavo_sandbox::spawn"));

  // A bare target name passes every level of that target.
  Filter bare = filter_of("tavo_sandbox::pool_version");
  EXPECT_TRUE(bare.enabled(Level::Trace, "tavo_sandbox::pool_version"));
  // A target that no directive names is dropped, errors included.
  EXPECT_FALSE(bare.enabled(Level::Error, "tavo_sandbox"));

  // Same length: the later directive wins. Level names ignore case.
  Filter later = filter_of("tavo_sandbox=warn,tavo_sandbox=Trace");
  EXPECT_TRUE(later.enabled(Level::Trace, "tavo_sandbox"));
  EXPECT_EQ(filter_of("info,warn").max_level(), Level::Info);
}

TEST(LogSpec, PatternRequiresTheMessageToContainIt) {
  Filter f = filter_of("info/grant");
  EXPECT_TRUE(f.passes(Level::Info, "tavo_sandbox", "PATH grant applied"));
  EXPECT_FALSE(f.passes(Level::Info, "tavo_sandbox", "loopback"));
  // Only a pattern: the default error directive with the pattern.
  Filter only = filter_of("/deny");
  EXPECT_TRUE(only.passes(Level::Error, "t", "deny failed"));
  EXPECT_FALSE(only.passes(Level::Error, "t", "grant failed"));
}

TEST(LogSpec, MalformedPartsAreWarnedAboutAndIgnored) {
  ParsedFilter bad_level = parse_filter("info,tavo_sandbox=loud");
  ASSERT_EQ(bad_level.warnings.size(), 1u);
  EXPECT_EQ(bad_level.warnings[0], "warning: invalid logging spec 'loud', ignoring it");
  EXPECT_TRUE(bad_level.filter.enabled(Level::Info, "tavo_sandbox"));

  ParsedFilter two_equals = parse_filter("a=b=c");
  ASSERT_EQ(two_equals.warnings.size(), 1u);
  EXPECT_EQ(two_equals.warnings[0], "warning: invalid logging spec 'a=b=c', ignoring it");

  ParsedFilter slashes = parse_filter("debug/a/b");
  ASSERT_EQ(slashes.warnings.size(), 1u);
  EXPECT_EQ(slashes.warnings[0],
            "warning: invalid logging spec 'debug/a/b' (too many '/'s), ignoring it");
  EXPECT_FALSE(slashes.filter.enabled(Level::Debug, "tavo_sandbox"));
  EXPECT_TRUE(slashes.filter.enabled(Level::Error, "tavo_sandbox"));
}

TEST(LogLine, PadsTheLevelAndIndentsContinuationLines) {
  EXPECT_EQ(format_line(Level::Warn, "tavo_sandbox", "careful"), "[WARN  tavo_sandbox] careful\n");
  EXPECT_EQ(format_line(Level::Error, "tavo_sandbox::spawn", "x"),
            "[ERROR tavo_sandbox::spawn] x\n");
  EXPECT_EQ(format_line(Level::Debug, "t", "a\nb\nc"), "[DEBUG t] a\n    b\n    c\n");
  EXPECT_EQ(format_line(Level::Info, "t", ""), "[INFO  t] \n");
}

// A value that counts how often it is turned into text.
struct Counted {
  int* formatted;
};
void append_text(std::string& out, const Counted& value) {
  ++*value.formatted;
  out += "counted";
}

TEST(Log, FormatsNothingForRecordsTheFilterDrops) {
  int formatted = 0;
  {
    Filter f = filter_of("tavo_sandbox=info,tavo_sandbox::spawn=off");
    std::vector<std::string> lines;
    ScopedCapture capture(f, [&](std::string_view line) { lines.emplace_back(line); });
    log(Level::Debug, kTargetMain, "{}", Counted{&formatted});
    log(Level::Error, kTargetSpawn, "{}", Counted{&formatted});
    EXPECT_EQ(formatted, 0);
    log(Level::Info, kTargetProfile, "value {}", Counted{&formatted});
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[INFO  tavo_sandbox::sandbox_profile] value counted\n");
  }
}

}  // namespace
}  // namespace tavo::logging
