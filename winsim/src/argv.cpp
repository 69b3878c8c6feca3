// Splitting a command line into words the way the C runtime of a Windows program does.
#include "processes.h"
#include "winsim/process_testing.h"

namespace winsim::detail {
namespace {

bool is_blank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// The program name: quotes group, backslashes are ordinary characters.
std::u16string program_word(std::u16string_view line, std::size_t& i) {
  std::u16string word;
  bool quoted = false;
  for (; i < line.size() && (quoted || !is_blank(line[i])); ++i) {
    if (line[i] == u'"') {
      quoted = !quoted;
    } else {
      word.push_back(line[i]);
    }
  }
  return word;
}

// An argument: 2n backslashes before a quote give n backslashes and the quote toggles quoting;
// 2n+1 give n backslashes and a literal quote; other backslashes are literal.
std::u16string argument_word(std::u16string_view line, std::size_t& i) {
  std::u16string word;
  bool quoted = false;
  while (i < line.size() && (quoted || !is_blank(line[i]))) {
    if (line[i] == u'\\') {
      std::size_t run = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++run;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        word.append(run / 2, u'\\');
        if (run % 2 == 1)
          word.push_back(u'"');
        else
          quoted = !quoted;
        ++i;
      } else {
        word.append(run, u'\\');
      }
    } else if (line[i] == u'"') {
      quoted = !quoted;
      ++i;
    } else {
      word.push_back(line[i++]);
    }
  }
  return word;
}

}  // namespace

std::vector<std::u16string> split_command_line(std::u16string_view line) {
  std::vector<std::u16string> words;
  std::size_t i = 0;
  while (i < line.size() && is_blank(line[i]))
    ++i;
  if (i == line.size()) return words;
  words.push_back(program_word(line, i));
  while (true) {
    while (i < line.size() && is_blank(line[i]))
      ++i;
    if (i == line.size()) break;
    words.push_back(argument_word(line, i));
  }
  return words;
}

}  // namespace winsim::detail

namespace winsim {

std::vector<std::u16string> command_line_words(std::u16string_view line) {
  return detail::split_command_line(line);
}

}  // namespace winsim
