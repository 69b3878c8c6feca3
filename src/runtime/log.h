// The diagnostic log: records of a level, a target and a message, filtered by the RUST_LOG
// variable and written to standard error one line per record.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"

namespace tavo {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Targets name the component that emits a record.
inline constexpr std::string_view kTargetMain = "tavo_sandbox";
inline constexpr std::string_view kTargetSpawn = "tavo_sandbox::spawn";
inline constexpr std::string_view kTargetProfile = "tavo_sandbox::sandbox_profile";
inline constexpr std::string_view kTargetPathGrant = "tavo_sandbox::path_grant";
inline constexpr std::string_view kTargetPoolVersion = "tavo_sandbox::pool_version";

namespace logging {

struct Directive {
  std::optional<std::string> target;  // none: applies where no named directive matches
  Level level;
};

class Filter {
 public:
  // One directive without a target at level error: errors of every target, nothing else.
  static Filter errors_only();

  std::vector<Directive> directives;
  std::optional<std::string> pattern;  // a record's message must contain it

  // The highest level any directive lets through.
  Level max_level() const;
  // Whether the level and target pass (the message pattern aside).
  bool enabled(Level level, std::string_view target) const;
  bool passes(Level level, std::string_view target, std::string_view message) const;
};

struct ParsedFilter {
  Filter filter;
  std::vector<std::string> warnings;  // complete lines for standard error, without line feed
};

// Reads a filter: "directive,directive,.../pattern". Unset, empty or without a
// valid directive gives errors_only().
ParsedFilter parse_filter(std::optional<std::string_view> text);

// "[LEVEL target] message": the level left-aligned in five columns; continuation lines of the
// message indented by four spaces; a final line feed.
std::string format_line(Level level, std::string_view target, std::string_view message);

using Sink = std::function<void(std::string_view line)>;

// Installs the process's logger from RUST_LOG (RUST_LOG_STYLE is read and has no effect: lines
// never carry terminal escapes). Warnings about the filter go to standard error at once. Installing
// twice is an internal failure.
void install_from_environment();

// The level above which log() returns before formatting.
Level max_level();
bool enabled(Level level, std::string_view target);
void write(Level level, std::string_view target, std::string_view message);

// Test support: while alive, records go to `sink` under `filter` instead of standard error.
class ScopedCapture {
 public:
  ScopedCapture(Filter filter, Sink sink);
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;

 private:
  Filter saved_filter_;
  Level saved_max_;
  Sink saved_sink_;
};

}  // namespace logging

// Logs one record. Nothing is formatted unless the record's level and target pass the filter.
template <class... Args>
void log(Level level, std::string_view target, std::string_view pattern, const Args&... args) {
  if (level > logging::max_level() || !logging::enabled(level, target)) return;
  logging::write(level, target, format(pattern, args...));
}

}  // namespace tavo
