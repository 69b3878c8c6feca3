#include "argv_split.h"

namespace tavo::fuzz {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

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

}  // namespace tavo::fuzz
