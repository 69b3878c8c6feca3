// The RUST_LOG filter, given any filter text, against a reference reading of its grammar:
// comma-separated directives (LEVEL, TARGET or TARGET=LEVEL, white space around each ignored),
// then optionally one '/' and a message pattern; more than one '/' voids the whole text. For
// each level and each of the program's targets (and some targets from the input) `enabled` must
// say what the deciding directive says: the matching directive with the longest target name,
// the later one among equals, a directive without target counting as the shortest. Also: no
// record that `enabled` lets through is above `max_level` (log() would drop it unformatted), and
// `passes` adds exactly the pattern test.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "finding.h"
#include "runtime/log.h"

namespace tavo::fuzz {
namespace {

using logging::Filter;

struct Rule {
  bool has_target;
  std::string target;
  int level;  // 0 off .. 5 trace
};

struct Reference {
  std::vector<Rule> rules;
  std::optional<std::string> pattern;
  std::size_t warnings = 0;
};

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(std::string text) {
  while (!text.empty() && is_c_space(text.back()))
    text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && is_c_space(text[start]))
    ++start;
  return text.substr(start);
}

std::optional<int> level_named(const std::string& text) {
  static const char* const kNames[] = {"off", "error", "warn", "info", "debug", "trace"};
  for (int level = 0; level <= 5; ++level) {
    const std::string name = kNames[level];
    const bool same = text.size() == name.size() &&
                      std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                        return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
                      });
    if (same) return level;
  }
  return std::nullopt;
}

Reference read_filter_text(const std::string& text) {
  Reference r;
  const std::vector<std::string> halves = split_bytes(text, '/');
  if (halves.size() > 2) {
    r.warnings = 1;
  } else if (!text.empty()) {
    if (halves.size() == 2) r.pattern = halves[1];
    for (const std::string& raw : split_bytes(halves[0], ',')) {
      const std::string directive = trimmed(raw);
      if (directive.empty()) continue;
      const std::vector<std::string> sides = split_bytes(directive, '=');
      if (sides.size() > 2) {
        ++r.warnings;
      } else if (sides.size() == 1) {
        if (auto level = level_named(directive)) {
          r.rules.push_back({false, "", *level});
        } else {
          r.rules.push_back({true, directive, 5});
        }
      } else {
        const std::string level_text = trimmed(sides[1]);
        if (level_text.empty()) {
          r.rules.push_back({true, sides[0], 5});
        } else if (auto level = level_named(level_text)) {
          r.rules.push_back({true, sides[0], *level});
        } else {
          ++r.warnings;
        }
      }
    }
  }
  if (r.rules.empty()) r.rules.push_back({false, "", 1});
  return r;
}

bool reference_enabled(const Reference& r, int level, const std::string& target) {
  std::optional<std::size_t> longest;
  for (const Rule& rule : r.rules) {
    if (rule.has_target && target.compare(0, rule.target.size(), rule.target) != 0) continue;
    longest = std::max(longest.value_or(0), rule.target.size());
  }
  if (!longest) return false;
  const Rule* deciding = nullptr;
  for (const Rule& rule : r.rules) {
    const bool matches =
        !rule.has_target || target.compare(0, rule.target.size(), rule.target) == 0;
    if (matches && rule.target.size() == *longest) deciding = &rule;
  }
  return level != 0 && level <= deciding->level;
}

}  // namespace
}  // namespace tavo::fuzz

// Input: the filter text, then a NUL and a message, then NUL-separated extra targets.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  using tavo::Level;
  std::vector<std::string> parts =
      split_bytes(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::string text = parts[0];
  const std::string message = parts.size() > 1 ? parts[1] : "";
  std::vector<std::string> targets = {"tavo_sandbox",
                                      "tavo_sandbox::spawn",
                                      "tavo_sandbox::sandbox_profile",
                                      "tavo_sandbox::path_grant",
                                      "tavo_sandbox::pool_version",
                                      ""};
  targets.insert(targets.end(), parts.begin() + std::min<std::size_t>(parts.size(), 2),
                 parts.end());

  const tavo::logging::ParsedFilter parsed = tavo::logging::parse_filter(text);
  const Reference reference = read_filter_text(text);
  if (parsed.warnings.size() != reference.warnings) {
    finding("one warning per malformed directive", text);
  }
  if (parsed.filter.pattern != reference.pattern) finding("the pattern follows the '/'", text);
  for (const std::string& target : targets) {
    for (int n = 0; n <= 5; ++n) {
      const auto level = static_cast<Level>(n);
      const bool enabled = parsed.filter.enabled(level, target);
      if (enabled != reference_enabled(reference, n, target)) {
        finding("enabled agrees with the deciding directive",
                "filter: [" + text + "] target: [" + target + "] level " + std::to_string(n) +
                    (enabled ? ": enabled" : ": not enabled"));
      }
      if (enabled && level > parsed.filter.max_level()) {
        finding("max_level lets every enabled record through", text);
      }
      const bool contains =
          !reference.pattern || message.find(*reference.pattern) != std::string::npos;
      if (parsed.filter.passes(level, target, message) != (enabled && contains)) {
        finding("passes is enabled and the pattern", text + " / " + message);
      }
    }
  }
  return 0;
}
