#include "runtime/progress.h"

#include "base/format.h"
#include "win/console.h"
#include "win/env.h"

namespace tavo {
namespace {

// A console of 80 columns moves to the next row once its last column is written, and a carriage
// return goes back only to the start of the cursor's row: a longer line could not be written over.
constexpr std::size_t kColumns = 79;
constexpr std::string_view kElision = "...";

bool continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// One column per character.
std::size_t columns(std::string_view text) {
  std::size_t count = 0;
  for (char c : text)
    count += continuation_byte(c) ? 0 : 1;
  return count;
}

// The last `count` characters of the text.
std::string_view last_characters(std::string_view text, std::size_t count) {
  std::size_t start = text.size();
  for (std::size_t taken = 0; start > 0 && taken < count;) {
    --start;
    if (!continuation_byte(text[start])) ++taken;
  }
  return text.substr(start);
}

}  // namespace

std::string progress_text(std::size_t number, std::size_t steps, std::string_view what) {
  std::string line = format("[{}/{}] ", number, steps);
  if (columns(line) + columns(what) <= kColumns) return line.append(what);
  // The end of a path tells one step from the next; its start is what they share.
  const std::size_t room = kColumns - columns(line) - kElision.size();
  return line.append(kElision).append(last_characters(what, room));
}

ProgressLine::ProgressLine(std::size_t steps)
    : steps_(steps), shown_(!env_var("RUST_LOG") && console::is_console(console::Stream::Err)) {}

ProgressLine::~ProgressLine() {
  if (columns_on_screen_ == 0) return;
  // Nothing to do about a failed write: the line only ever reported progress.
  (void)console::write(console::Stream::Err,
                       format("\r{}\r", std::string(columns_on_screen_, ' ')));
}

void ProgressLine::show(std::size_t number, std::string_view what) {
  if (!shown_) return;
  std::string text = "\r" + progress_text(number, steps_, what);
  const std::size_t width = columns(text) - 1;
  // Spaces cover what is left of a longer line before it.
  if (width < columns_on_screen_) text.append(columns_on_screen_ - width, ' ');
  if (console::write(console::Stream::Err, text)) columns_on_screen_ = width;
}

}  // namespace tavo
