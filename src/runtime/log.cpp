#include "runtime/log.h"

#include <algorithm>
#include <cctype>

#include "base/text.h"
#include "runtime/exit_status.h"
#include "win/console.h"
#include "win/env.h"

namespace tavo::logging {
namespace {

struct Logger {
  bool installed = false;
  Filter filter;
  Level max = Level::Off;
  Sink sink;
};

Logger& logger() {
  static Logger instance;
  return instance;
}

std::optional<Level> parse_level(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static constexpr std::pair<std::string_view, Level> kNames[] = {
      {"off", Level::Off},   {"error", Level::Error}, {"warn", Level::Warn},
      {"info", Level::Info}, {"debug", Level::Debug}, {"trace", Level::Trace}};
  for (const auto& [name, level] : kNames) {
    if (lower == name) return level;
  }
  return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string_view level_text(Level level) {
  switch (level) {
    case Level::Off:
      return "OFF";
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "?";
}

// The directive that decides for a target: the longest matching target name; among names of
// equal length the later one; a directive without a target where no named one matches.
const Directive* deciding(const Filter& filter, std::string_view target) {
  const Directive* best = nullptr;
  for (const Directive& d : filter.directives) {
    const std::size_t length = d.target ? d.target->size() : 0;
    if (d.target && !target.starts_with(*d.target)) continue;
    if (best == nullptr || length >= (best->target ? best->target->size() : 0)) best = &d;
  }
  return best;
}

void write_to_stderr(std::string_view line) {
  console::write(console::Stream::Err, line);
}

}  // namespace

Filter Filter::errors_only() {
  Filter f;
  f.directives.push_back({std::nullopt, Level::Error});
  return f;
}

Level Filter::max_level() const {
  Level max = Level::Off;
  for (const Directive& d : directives)
    max = std::max(max, d.level);
  return max;
}

bool Filter::enabled(Level level, std::string_view target) const {
  const Directive* d = deciding(*this, target);
  return d != nullptr && level != Level::Off && level <= d->level;
}

bool Filter::passes(Level level, std::string_view target, std::string_view message) const {
  return enabled(level, target) && (!pattern || message.find(*pattern) != std::string_view::npos);
}

ParsedFilter parse_filter(std::optional<std::string_view> text) {
  ParsedFilter out;
  if (text && !text->empty()) {
    std::vector<std::string_view> parts = split(*text, '/');
    if (parts.size() > 2) {
      out.warnings.push_back(
          format("warning: invalid logging spec '{}' (too many '/'s), ignoring it", *text));
    } else {
      if (parts.size() == 2) out.filter.pattern = std::string(parts[1]);
      for (std::string_view raw : split(parts[0], ',')) {
        std::string_view directive = trim_white_space(raw);
        if (directive.empty()) continue;
        std::vector<std::string_view> sides = split(directive, '=');
        if (sides.size() == 1) {
          if (auto level = parse_level(directive)) {
            out.filter.directives.push_back({std::nullopt, *level});
          } else {
            out.filter.directives.push_back({std::string(directive), Level::Trace});
          }
        } else if (sides.size() == 2) {
          std::string_view name = sides[0];
          std::string_view level_part = trim_white_space(sides[1]);
          if (level_part.empty()) {
            out.filter.directives.push_back({std::string(name), Level::Trace});
          } else if (auto level = parse_level(level_part)) {
            out.filter.directives.push_back({std::string(name), *level});
          } else {
            out.warnings.push_back(
                format("warning: invalid logging spec '{}', ignoring it", level_part));
          }
        } else {
          out.warnings.push_back(
              format("warning: invalid logging spec '{}', ignoring it", directive));
        }
      }
    }
  }
  if (out.filter.directives.empty()) out.filter.directives = Filter::errors_only().directives;
  return out;
}

std::string format_line(Level level, std::string_view target, std::string_view message) {
  std::string line = "[";
  std::string_view text = level_text(level);
  line.append(text);
  line.append(text.size() < 5 ? 5 - text.size() : 0, ' ');
  line.append(" ");
  line.append(target);
  line.append("] ");
  for (char c : message) {
    line.push_back(c);
    if (c == '\n') line.append("    ");
  }
  line.push_back('\n');
  return line;
}

void install_from_environment() {
  Logger& l = logger();
  if (l.installed) internal_failure("the logger was installed twice");
  std::optional<std::string> filter_text = env_var("RUST_LOG");
  // RUST_LOG_STYLE is not read: log lines here never carry colours.
  ParsedFilter parsed =
      parse_filter(filter_text ? std::optional<std::string_view>(*filter_text) : std::nullopt);
  for (const std::string& warning : parsed.warnings)
    write_to_stderr(warning + "\n");
  l.installed = true;
  l.filter = std::move(parsed.filter);
  l.max = l.filter.max_level();
  l.sink = write_to_stderr;
}

Level max_level() {
  return logger().max;
}

bool enabled(Level level, std::string_view target) {
  return logger().filter.enabled(level, target);
}

void write(Level level, std::string_view target, std::string_view message) {
  const Logger& l = logger();
  if (!l.sink || !l.filter.passes(level, target, message)) return;
  l.sink(format_line(level, target, message));
}

ScopedCapture::ScopedCapture(Filter filter, Sink sink)
    : saved_filter_(logger().filter), saved_max_(logger().max), saved_sink_(logger().sink) {
  Logger& l = logger();
  l.max = filter.max_level();
  l.filter = std::move(filter);
  l.sink = std::move(sink);
}

ScopedCapture::~ScopedCapture() {
  Logger& l = logger();
  l.filter = std::move(saved_filter_);
  l.max = saved_max_;
  l.sink = std::move(saved_sink_);
}

}  // namespace tavo::logging
