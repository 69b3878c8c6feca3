#include "support/log_capture.h"

namespace tavo::testing {
namespace {

logging::Filter everything_at(Level level) {
  logging::Filter filter;
  filter.directives.push_back({std::nullopt, level});
  return filter;
}

}  // namespace

LogCapture::LogCapture(Level level)
    : capture_(everything_at(level), [this](std::string_view line) { lines_.emplace_back(line); }) {
}

std::string LogCapture::text() const {
  std::string all;
  for (const auto& line : lines_)
    all += line;
  return all;
}

bool LogCapture::contains(std::string_view part) const {
  return count(part) > 0;
}

std::size_t LogCapture::count(std::string_view part) const {
  std::size_t n = 0;
  for (const auto& line : lines_)
    n += line.find(part) != std::string::npos ? 1 : 0;
  return n;
}

std::string LogCapture::text_of(std::string_view part) const {
  std::string text;
  for (const auto& line : lines_) {
    if (line.find(part) != std::string::npos) text += line;
  }
  return text;
}

}  // namespace tavo::testing
