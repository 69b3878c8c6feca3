// Quoting for the command line, given any words: the command line the launch builds must split,
// by the C runtime's rules, back into exactly the command and the arguments. The program word
// follows the platform's rule for the first word (quotes only group, backslashes are plain), so
// a command holding a double quote cannot be written at all and must be refused.
#include <cstdint>
#include <string>
#include <vector>

#include "base/quoting.h"
#include "finding.h"

namespace tavo::fuzz {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The C runtime's splitting of a command line into words, the reference the launch's quoting is
// checked against. The first word takes quotes only as grouping; the others follow the
// backslash-and-quote rules (2n backslashes and a quote: n backslashes, and the quote toggles
// quoting; 2n+1: n backslashes and a literal quote; other backslashes are literal).
std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  bool first = true;
  while (true) {
    while (i < line.size() && is_blank(line[i]))
      ++i;
    if (i == line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
      const char c = line[i];
      if (c == '\\' && !first) {
        std::size_t run = 0;
        while (i < line.size() && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          word.append(run / 2, '\\');
          if (run % 2 == 1)
            word.push_back('"');
          else
            quoted = !quoted;
          ++i;
        } else {
          word.append(run, '\\');
        }
      } else if (c == '"') {
        quoted = !quoted;
        ++i;
      } else {
        word.push_back(c);
        ++i;
      }
    }
    words.push_back(std::move(word));
    first = false;
  }
  return words;
}

}  // namespace
}  // namespace tavo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  // The words: NUL-separated, the first one the command. Neither can hold a NUL.
  const std::vector<std::string> words =
      split_bytes(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::vector<std::string> args(words.begin() + 1, words.end());
  const std::optional<std::string> line = tavo::command_line(words[0], args);
  if (words[0].find('"') != std::string::npos) {
    if (line) finding("a command with a double quote is refused", words[0]);
    return 0;
  }
  if (!line) finding("a command without a double quote is written", words[0]);
  const std::vector<std::string> split = split_command_line(*line);
  if (split != words) {
    finding("the words come back from the command line",
            "words: " + show(words) + "\nline: [" + *line + "]\nsplit: " + show(split));
  }
  return 0;
}
