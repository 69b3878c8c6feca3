// Collects the log lines a test provokes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/log.h"

namespace tavo::testing {

class LogCapture {
 public:
  // Captures every record at or below `level` (trace: everything).
  explicit LogCapture(Level level = Level::Trace);

  const std::vector<std::string>& lines() const { return lines_; }
  // All lines joined, as standard error would show them.
  std::string text() const;
  bool contains(std::string_view part) const;
  // Lines that contain `part`: how many, and the lines themselves joined.
  std::size_t count(std::string_view part) const;
  std::string text_of(std::string_view part) const;

 private:
  std::vector<std::string> lines_;
  logging::ScopedCapture capture_;
};

}  // namespace tavo::testing
