// Quoting for the command line, given any words: the command line the launch builds must split,
// by the C runtime's rules as winsim applies them to the processes it starts, back into exactly
// the command and the arguments. The program word follows the rule for the first word (quotes
// only group, backslashes are plain), so a command holding a double quote cannot be written at
// all and must be refused.

#include <winsim/process_testing.h>

#include "base/quoting.h"
#include "fuzz.h"

// Input: the command, then the arguments, NUL-separated.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  const std::vector<std::string> words =
      split(std::string_view(reinterpret_cast<const char*>(data), size), '\0');
  const std::vector<std::string> args(words.begin() + 1, words.end());
  const std::optional<std::string> line = tavo::command_line(words[0], args);
  if (words[0].find('"') != std::string::npos) {
    if (line) finding("a command with a double quote is refused", words[0]);
    return 0;
  }
  if (!line) finding("a command without a double quote is written", words[0]);
  // Byte for byte: the splitting looks at blanks, quotes and backslashes only.
  std::vector<std::string> back;
  for (const std::u16string& word :
       winsim::command_line_words(std::u16string(line->begin(), line->end()))) {
    back.emplace_back(word.begin(), word.end());
  }
  if (back != words) {
    finding("the words come back from the command line",
            "words: " + show(words) + "\nline: [" + *line + "]\nsplit: " + show(back));
  }
  return 0;
}
