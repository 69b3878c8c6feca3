// The RUST_LOG filter, given any filter text, against a reference reading of it: directives
// (LEVEL, TARGET or TARGET=LEVEL, white space around each ignored) separated by commas, then
// optionally one '/' and a message pattern; more than one '/' voids the whole text. For every
// level and target `enabled` must say what the deciding directive says: the matching one with the
// longest target (no target counting as the shortest), the later among equals. Also: nothing
// `enabled` lets through is above `max_level` (log() would drop it unformatted), `passes` adds
// exactly the pattern test, and each malformed directive gives one warning.
#include <cctype>
#include <optional>

#include "base/text.h"
#include "fuzz.h"
#include "runtime/log.h"

namespace tavo::fuzz {
namespace {

struct Rule {
  std::string target;  // empty: every target
  int level;           // 0 off .. 5 trace
};

struct Reference {
  std::vector<Rule> rules;
  std::optional<std::string> pattern;
  std::size_t warnings = 0;
};

std::optional<int> level_named(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string names[] = {"off", "error", "warn", "info", "debug", "trace"};
  for (int level = 0; level <= 5; ++level) {
    if (text == names[level]) return level;
  }
  return std::nullopt;
}

Reference read_filter_text(const std::string& text) {
  Reference r;
  const std::vector<std::string> halves = split(text, '/');
  if (halves.size() == 2) r.pattern = halves[1];
  if (halves.size() > 2) r.warnings = 1;
  for (const std::string& raw : split(halves.size() > 2 ? "" : halves[0], ',')) {
    const std::string directive(trim_white_space(raw));
    std::vector<std::string> sides = split(directive, '=');
    if (sides.size() == 1 && level_named(directive)) sides = {"", directive};  // LEVEL is =LEVEL
    const std::string level_text(sides.size() == 2 ? trim_white_space(sides[1]) : "");
    if (directive.empty()) continue;
    if (sides.size() > 2) {
      ++r.warnings;
    } else if (level_text.empty()) {
      r.rules.push_back({sides[0], 5});
    } else if (std::optional<int> level = level_named(level_text)) {
      r.rules.push_back({sides[0], *level});
    } else {
      ++r.warnings;
    }
  }
  if (r.rules.empty()) r.rules.push_back({"", 1});
  return r;
}

}  // namespace
}  // namespace tavo::fuzz

// Input: the filter text, then a NUL and a message, then NUL-separated extra targets.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  std::vector<std::string> parts =
      split(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::string text = parts[0];
  const std::string message = parts.size() > 1 ? parts[1] : "";
  std::vector<std::string> targets(parts.begin() + std::min<std::size_t>(parts.size(), 2),
                                   parts.end());
  targets.insert(targets.end(),
                 {"", "tavo_sandbox", "tavo_sandbox::spawn", "tavo_sandbox::sandbox_profile",
                  "tavo_sandbox::path_grant", "tavo_sandbox::pool_version"});

  const tavo::logging::ParsedFilter parsed = tavo::logging::parse_filter(text);
  const Reference reference = read_filter_text(text);
  if (parsed.warnings.size() != reference.warnings) {
    finding("one warning per malformed directive", text);
  }
  if (parsed.filter.pattern != reference.pattern) finding("the pattern follows the '/'", text);
  const bool contains = !reference.pattern || message.find(*reference.pattern) != std::string::npos;
  for (const std::string& target : targets) {
    const Rule* deciding = nullptr;
    for (const Rule& rule : reference.rules) {
      if (target.starts_with(rule.target) &&
          (deciding == nullptr || rule.target.size() >= deciding->target.size())) {
        deciding = &rule;
      }
    }
    for (int n = 0; n <= 5; ++n) {
      const auto level = static_cast<tavo::Level>(n);
      const bool enabled = parsed.filter.enabled(level, target);
      if (enabled != (deciding != nullptr && n != 0 && n <= deciding->level)) {
        finding("enabled agrees with the deciding directive",
                "filter: [" + text + "] target: [" + target + "] level " + std::to_string(n));
      }
      if (enabled && level > parsed.filter.max_level()) {
        finding("max_level lets every enabled record through", text);
      }
      if (parsed.filter.passes(level, target, message) != (enabled && contains)) {
        finding("passes is enabled and the pattern", text + " / " + message);
      }
    }
  }
  return 0;
}
