// How far a long series of steps has come, on the console: one line "[3/20] what", written over
// at each step and cleared when the series ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavo {

// Owns the line on the console while a series runs. It shows only when standard error is a
// console and RUST_LOG is unset: output that goes to a pipe or a file stays exactly the log, and
// log lines that RUST_LOG asks for are not broken up by it.
class ProgressLine {
 public:
  explicit ProgressLine(std::size_t steps);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows step `number` (counted from 1) of the series, described by `what`.
  void show(std::size_t number, std::string_view what);

 private:
  std::size_t steps_;
  bool shown_;
  std::size_t columns_on_screen_ = 0;
};

// The line of a step as shown: "[number/steps] what", with the start of `what` left out for
// "..." where the line would not fit in 79 columns.
std::string progress_text(std::size_t number, std::size_t steps, std::string_view what);

}  // namespace tavo
